// Whole discovery runs over real data folders with a scripted analysis.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/ImageInput.h"
#include "Torvane/ReviewStore.h"

using namespace torvane;
using namespace torvane::test;
namespace fs = std::filesystem;

namespace {

const std::string incomplete = SessionDiscovery::incompleteAnalysisMessage;
const std::string unlistedOne = "1" + std::string(SessionDiscovery::unlistedPhotosMessage);

// Every entry below `root` with its content, to prove that a run changed nothing.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const auto relative = fs::relative(it->path(), root).string();
        if (it->is_symlink())
            entries[relative] = "-> " + fs::read_symlink(it->path()).string();
        else if (it->is_regular_file())
            entries[relative] = readText(it->path());
        else
            entries[relative] = "folder";
    }
    return entries;
}

class DiscoveryRun : public ::testing::Test {
protected:
    SessionDiscoveryReport discover(const std::map<fs::path, fs::path>& known = {}) {
        progress.clear();
        return SessionDiscovery::run(
            root, known, [this](const std::string& name) { progress.push_back(name); }, analysis.callback());
    }

    // A session folder holding the named photos, each with its own pixels.
    fs::path photoFolder(const std::string& name, const std::vector<std::string>& photos) {
        const fs::path folder = root / name;
        fs::create_directories(folder);
        for (const auto& photo : photos) writePhoto(folder / photo, 12 + photoCount++, 10);
        return folder;
    }

    TempDir data;
    fs::path root = data.path();
    ScriptedAnalysis analysis;
    std::vector<std::string> progress;
    int photoCount = 0;  // every photo gets its own size, hence its own bytes
};

}  // namespace

TEST_F(DiscoveryRun, APhotoFolderIsImportedAnalysedOnceAndThenReused) {
    const fs::path folder = photoFolder("Donington", {"a.jpg", "b.JPEG"});

    const auto first = discover();
    EXPECT_TRUE(first.failures.empty());
    ASSERT_EQ(first.sessions.size(), 1u);
    const auto& session = first.sessions[0];
    EXPECT_EQ(session.manifestURL, folder / "session.json");
    EXPECT_TRUE(session.wasAnalyzed);
    EXPECT_EQ(SessionManifest::load(folder / "session.json").pairs.size(), 2u);  // its pairs: DiscoveryManifest

    ASSERT_EQ(analysis.calls, 1);
    const auto runs = runFolders(folder);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(session.resultsURL, runs[0] / "results.json");

    const auto before = snapshot(root);
    const auto second = discover();
    EXPECT_EQ(analysis.calls, 1);
    EXPECT_TRUE(second.failures.empty());
    ASSERT_EQ(second.sessions.size(), 1u);
    EXPECT_EQ(second.sessions[0].resultsURL, session.resultsURL);
    EXPECT_FALSE(second.sessions[0].wasAnalyzed);
    EXPECT_EQ(snapshot(root), before);
}

// An added photo is reported and changes nothing; a replaced one is analysed again into a
// new run folder, and the old evidence stays.
TEST_F(DiscoveryRun, AnAddedPhotoIsReportedAndAReplacedOneAnalysedAgain) {
    const fs::path folder = photoFolder("s", {"a.jpg"});
    const auto first = discover();
    const auto manifestBytes = readText(folder / "session.json");
    const auto oldResults = readText(first.sessions[0].resultsURL);

    writePhoto(folder / "new.png", 8, 8);
    const auto added = discover();
    EXPECT_EQ(added.failures, (std::vector<SessionDiscoveryFailure>{{folder, unlistedOne}}));
    ASSERT_EQ(added.sessions.size(), 1u);
    EXPECT_EQ(added.sessions[0].resultsURL, first.sessions[0].resultsURL);
    EXPECT_EQ(readText(folder / "session.json"), manifestBytes);
    EXPECT_EQ(analysis.calls, 1);

    fs::remove(folder / "new.png");
    writePhoto(folder / "a.jpg", 40, 10);
    const auto replaced = discover();
    EXPECT_TRUE(replaced.failures.empty());
    ASSERT_EQ(replaced.sessions.size(), 1u);
    EXPECT_TRUE(replaced.sessions[0].wasAnalyzed);
    EXPECT_EQ(runFolders(folder).size(), 2u);
    EXPECT_EQ(readText(first.sessions[0].resultsURL), oldResults);
    EXPECT_EQ(analysis.calls, 2);
}

TEST_F(DiscoveryRun, AnalysisFailuresArePreservedAndDoNotStopOtherFolders) {
    photoFolder("a-silent", {"x.jpg"});
    photoFolder("b-throws", {"x.jpg"});
    photoFolder("c-fine", {"x.jpg"});
    std::vector<fs::path> outputs;
    auto report = SessionDiscovery::run(root, {}, {}, [&](const fs::path& manifestPath, const fs::path& output) {
        outputs.push_back(output);
        const auto session = output.parent_path().filename().string();
        if (session == "a-silent") {
            fs::create_directory(output);
            writeText(output / "partial.txt", "half done");
        } else if (session == "b-throws") {
            throw PoseError::invalidInput("Detector exploded.");
        } else if (session == "c-fine") {
            fs::create_directory(output);
            writeText(output / "results.json", json::pretty(matchingReport(manifestPath)));
        }
    });
    ASSERT_EQ(report.failures.size(), 2u);
    EXPECT_EQ(report.failures[0].folderURL, root / "a-silent");
    EXPECT_EQ(report.failures[0].message, incomplete);
    EXPECT_EQ(report.failures[1].folderURL, root / "b-throws");
    EXPECT_EQ(report.failures[1].message, "Detector exploded.");
    ASSERT_EQ(report.sessions.size(), 1u);
    EXPECT_EQ(report.sessions[0].title, "c-fine");
    ASSERT_EQ(outputs.size(), 3u);
    EXPECT_EQ(readText(outputs[0] / "partial.txt"), "half done");
}

TEST_F(DiscoveryRun, BrokenFoldersBecomeFailuresWithTheirOwnMessages) {
    const fs::path unreadable = photoFolder("a", {"good.jpg"});
    writeText(unreadable / "bad.png", "not a picture");
    const fs::path invalid = root / "b";
    fs::create_directory(invalid);
    writeText(invalid / "session.json", R"({"schemaVersion": 2, "session": "b", "annotationProvenance": "", "pairs": []})");
    const fs::path escaping = root / "c";
    fs::create_directory(escaping);
    const json::Value one = rect(0, 0, 1, 1);
    writeText(escaping / "session.json",
              manifestOf(json::Value::array({manifestPair("P1", "gone.jpg", {manifestRider("subject", "r", one, one)})}), "c")
                  .dump());
    photoFolder("d", {"x.jpg"});

    const auto report = discover();
    ASSERT_EQ(report.failures.size(), 3u);
    EXPECT_EQ(report.failures[0].folderURL, unreadable);
    EXPECT_EQ(report.failures[0].message, ImageInput::namedFailure(unreadable / "bad.png"));
    EXPECT_FALSE(fs::exists(unreadable / "session.json"));
    EXPECT_EQ(report.failures[1].message, "Unsupported schema, empty manifest, or duplicate pair IDs.");
    EXPECT_EQ(report.failures[2].folderURL, escaping);
    EXPECT_NE(report.failures[2].message.find("gone.jpg"), std::string::npos) << report.failures[2].message;
    ASSERT_EQ(report.sessions.size(), 1u);
    EXPECT_EQ(report.sessions[0].title, "d");
    EXPECT_EQ(progress, (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST_F(DiscoveryRun, MissingDataFolderIsOneFailureWithoutProgress) {
    root = data / "nowhere";
    const auto report = discover();
    EXPECT_TRUE(report.sessions.empty());
    EXPECT_EQ(report.failures, (std::vector<SessionDiscoveryFailure>{
                                   {data / "nowhere", SessionDiscovery::missingDataFolderMessage}}));
    EXPECT_TRUE(progress.empty());
}

TEST_F(DiscoveryRun, HiddenLinkedAndEmptyEntriesAreSkippedSilently) {
    root = data / "data";
    const fs::path real = photoFolder("real", {"a.jpg"});
    photoFolder(".git", {"a.jpg"});
    fs::create_directory(root / "empty");
    writeText(root / "empty" / "notes.txt", "nothing to see");
    writePhoto(root / "loose.jpg", 8, 8);
    fs::create_directory_symlink(real, root / "linked");
    // Inside a session, hidden and linked photos are neither photos nor unlisted.
    writePhoto(real / ".hidden.jpg", 8, 8);
    fs::create_symlink(data / "elsewhere.jpg", real / "dangling.jpg");

    const auto report = discover();
    EXPECT_TRUE(report.failures.empty());
    ASSERT_EQ(report.sessions.size(), 1u);
    EXPECT_EQ(report.sessions[0].manifestURL, real / "session.json");
    EXPECT_EQ(progress, std::vector<std::string>{"real"});
    EXPECT_EQ(SessionManifest::load(real / "session.json").pairs.size(), 1u);
}

TEST_F(DiscoveryRun, SessionsComeInCodePointOrderOfComposedNames) {
    const std::string decomposedE = "e\xcc\x81";  // "é" as e + combining acute: NFC is U+00E9
    for (const std::string& name : std::vector<std::string>{"beta", decomposedE, "Zolder", "f", "alpha"}) photoFolder(name, {"p.png"});
    const auto report = discover();
    const std::vector<std::string> expected{"Zolder", "alpha", "beta", "f", decomposedE};
    EXPECT_EQ(progress, expected);
    ASSERT_EQ(report.sessions.size(), 5u);
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(report.sessions[i].title, expected[i]);
}

TEST_F(DiscoveryRun, KnownResultsMatchThroughSymbolicLinks) {
    const fs::path folder = photoFolder("s", {"a.jpg"});
    const auto first = discover();
    const fs::path runResults = first.sessions[0].resultsURL;
    // A second valid results file that the folder order would prefer.
    writeText(folder / "results.json", readText(runResults));
    EXPECT_EQ(discover().sessions[0].resultsURL, folder / "results.json");

    fs::create_directory_symlink(root, data / "via-link");
    const auto linkedRun = runFolders(data / "via-link" / "s")[0];
    const auto report = discover({{data / "via-link" / "s" / "session.json", linkedRun / "results.json"}});
    ASSERT_EQ(report.sessions.size(), 1u);
    EXPECT_EQ(report.sessions[0].resultsURL, runResults);

    // The data folder itself reached through the link: every location is the resolved one.
    root = data / "via-link";
    const auto resolved = discover();
    ASSERT_EQ(resolved.sessions.size(), 1u);
    EXPECT_EQ(resolved.sessions[0].manifestURL, folder / "session.json");
    EXPECT_EQ(resolved.sessions[0].resultsURL, folder / "results.json");

    // A known file that no longer matches is passed over.
    const auto stale = discover({{folder / "session.json", data / "absent.json"}});
    EXPECT_EQ(stale.sessions[0].resultsURL, folder / "results.json");
    EXPECT_EQ(analysis.calls, 1);
}

TEST_F(DiscoveryRun, ASavedReviewKeepsItsResultsChosen) {
    const fs::path folder = photoFolder("s", {"a.jpg"});
    const fs::path reviewed = discover().sessions[0].resultsURL;
    ReviewStore::save(ReviewStore::make(folder / "session.json", reviewed), ReviewStore::documentPath(reviewed),
                      std::nullopt);
    // A results file that comes first in candidate order but has no review.
    auto unreviewed = matchingReport(folder / "session.json");
    unreviewed.generatedAt = "2026-02-02T00:00:00Z";
    writeText(folder / "results.json", json::pretty(unreviewed));

    const auto report = discover();
    ASSERT_EQ(report.sessions.size(), 1u);
    EXPECT_EQ(report.sessions[0].resultsURL, reviewed);
    EXPECT_EQ(analysis.calls, 1);
}
