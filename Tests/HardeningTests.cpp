// Hostile and careless inputs, through real files and the built binary: named pipes, links
// to /dev/zero, oversized files, names that are not UTF-8 or hold terminal escapes, files
// that only pretend to be photos, cut-off photos and runs killed half-way. Each is refused
// with a sentence that names the file, and no folder is left broken.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "TestSupport.h"
#include "Torvane/ImageInput.h"
#include "Torvane/Localization.h"
#include "Torvane/ReviewStore.h"
#include "Torvane/platform/ReviewFiles.h"

using namespace torvane;
using namespace torvane::test;
namespace fs = std::filesystem;

namespace {

// Far above what any of these refusals needs: only a hang reaches it.
constexpr unsigned hangLimit = 120;

void makePipe(const fs::path& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << path; }

// A session folder with one photo, its manifest, and matching results with their page in
// the sub-folder "run"; returns the results file.
fs::path analysedSession(const fs::path& folder) {
    fs::create_directories(folder / "run");
    writePhoto(folder / "p.jpg", 64, 48);
    SessionDiscovery::createManifest({folder / "p.jpg"}, folder / "session.json");
    const fs::path results = folder / "run" / "results.json";
    writeText(results, json::pretty(matchingReport(folder / "session.json")));
    writeText(folder / "run" / "index.html", "<html></html>");
    return results;
}

json::Value discoverReport(const fs::path& data, const std::vector<std::string>& extra = {}) {
    const fs::path reportFile = data.parent_path() / (data.filename().string() + "-report.json");
    std::vector<std::string> args{"discover", data.string(), "--report", reportFile.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto run = runCli(args, hangLimit);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    // The report sits beside the data folder, outside the test's temporary folder.
    auto report = json::parse(readText(reportFile));
    fs::remove(reportFile);
    return report;
}

std::string failureOf(const json::Value& report, const fs::path& folder) {
    for (const auto& failure : report["failures"])
        if (failure["folderURL"] == folder.string()) return failure["message"].get<std::string>();
    return {};
}

std::string resultsOf(const json::Value& report, const fs::path& folder) {
    for (const auto& session : report["sessions"])
        if (fs::path(session["manifestURL"].get<std::string>()).parent_path() == folder)
            return session["resultsURL"].get<std::string>();
    return {};
}

// Another process that takes a lock and tells `hold` whether it got it; `hold` keeps it
// until the holder lets go by itself (after keepSeconds) or is killed with this object.
class LockHolder {
public:
    using Hold = std::function<void(bool)>;
    LockHolder(const std::function<void(const Hold&)>& take, unsigned keepSeconds = 0) {
        int ready[2];
        if (::pipe(ready) != 0) throw std::runtime_error("pipe");
        pid_ = spawn([&] {
            take([&](bool got) {
                const char byte = got ? 'y' : 'n';
                (void)!::write(ready[1], &byte, 1);
                if (keepSeconds > 0) ::sleep(keepSeconds);
                else ::pause();
            });
            return 0;
        });
        char byte = 0;
        held_ = ::read(ready[0], &byte, 1) == 1 && byte == 'y';
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~LockHolder() {
        ::kill(pid_, SIGKILL);
        exitCode(pid_);
    }
    bool held() const { return held_; }

private:
    pid_t pid_;
    bool held_ = false;
};

const fs::path exampleDocument = fs::path(TORVANE_SOURCE_DIR) / "docs" / "example" / "joint-review.json";

}  // namespace

// A named pipe as a folder's manifest, photo, results (in the folder or an earlier run) or
// known results: each folder goes on or fails alone, at once, naming the file, and no
// analysis starts because of it. (A link to /dev/zero meets the same check in the reading
// function: FileSystem tests.)
TEST(Hardening, SpecialFilesAreRefusedAndLaterFoldersStillReached) {
    TempDir data, elsewhere;
    const fs::path a = data / "a manifest", b = data / "b results", c = data / "c photo", d = data / "d known results";
    fs::create_directory(a);
    makePipe(a / "session.json");
    const fs::path bResults = analysedSession(b);
    makePipe(b / "results.json");
    fs::create_directory(b / "0 earlier");
    makePipe(b / "0 earlier" / "results.json");
    analysedSession(c);
    fs::remove(c / "p.jpg");
    makePipe(c / "p.jpg");
    const fs::path dResults = analysedSession(d);
    makePipe(elsewhere / "known.json");

    const auto report =
        discoverReport(data.path(), {"--known", (d / "session.json").string() + "=" + (elsewhere / "known.json").string()});
    EXPECT_EQ(resultsOf(report, b), bResults.string());
    EXPECT_EQ(resultsOf(report, d), dResults.string());
    EXPECT_EQ(runFolders(b).size() + runFolders(d).size(), 0u);
    for (const fs::path& file : {a / "session.json", c / "p.jpg"}) {
        const std::string failure = failureOf(report, file.parent_path());
        EXPECT_TRUE(contains(failure, "\"" + file.string() + "\": it is not a regular file")) << failure;
    }
    EXPECT_EQ(report["sessions"].size(), 2u);
}

// Each kind of reader (records, photos, review documents, pages, rule files) refuses what it
// cannot use at once with exit 1, naming the file and saying what is wrong in words rather
// than the libraries' internals, instead of waiting for ever or reading without end. The
// shared reading function behind them, with missing files and folders: FileSystem tests.
TEST(Hardening, EveryReaderRefusesWhatItCannotUseNamingTheFile) {
    TempDir dir;
    makePipe(dir / "pipe");
    fs::create_symlink("/dev/zero", dir / "zero");
    // Sparse: the size is there, the bytes are not, so only a read would cost memory.
    const fs::path huge = dir / "huge";
    { std::ofstream(huge.string()).close(); }
    fs::resize_file(huge, std::uintmax_t{400} << 20);
    writeText(dir / "empty.jpg", "");
    writeText(dir / "broken.json", "{\n  \"schemaVersion\": 1,\n  \"pairs\": [,]\n}\n");
    const auto named = [](const fs::path& file, const std::string& rest) { return "\"" + file.string() + "\"" + rest; };
    const std::string pipe = (dir / "pipe").string(), zero = (dir / "zero").string(), notRegular = ": it is not a regular file";
    const std::string doc = exampleDocument.string();
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {{"manifest", "check", pipe}, {named(pipe, notRegular)}},
        {{"image", "info", zero}, {ImageInput::unreadableMessage, named(zero, notRegular)}},
        {{"review", "load", huge.string()}, {named(huge, ": it is larger than the")}},
        {{"pair", "analyze", doc, "--pair", "A001", "--rules", pipe}, {named(pipe, notRegular)}},
        {{"image", "info", (dir / "empty.jpg").string()}, {ImageInput::unreadableMessage, named(dir / "empty.jpg", " is empty.")}},
        {{"manifest", "check", (dir / "broken.json").string()},
         {named(dir / "broken.json", ""), "isn't valid JSON (line 3, column"}},
    };
    for (const auto& c : cases) {
        const auto run = runCli(c.args, hangLimit);
        EXPECT_EQ(run.exitCode, 1) << c.args[0] << " " << c.args[1] << run.err;
        for (const auto& part : c.expected) EXPECT_TRUE(contains(run.err, part)) << run.err;
        EXPECT_FALSE(contains(run.err, "filesystem error")) << run.err;
        EXPECT_FALSE(contains(run.err, "json.exception")) << run.err;
    }
}

// A Latin-1 camera card: the photo with the unreadable name is left out with a line naming
// it, and the manifest that is written loads.
TEST(Hardening, NamesThatAreNotUtf8NeverBreakAFolder) {
    TempDir data;
    const fs::path folder = data / "card";
    fs::create_directory(folder);
    const std::string latin1 = "caf\xe9.jpg";
    writePhoto(folder / latin1, 64, 48);
    writePhoto(folder / "ok.jpg", 64, 48);
    // A whole folder whose name and only photo are Latin-1.
    const fs::path latinFolder = data / "\xe9t\xe9";
    fs::create_directory(latinFolder);
    writePhoto(latinFolder / "r\xe9sum\xe9.jpg", 64, 48);

    ScriptedAnalysis analysis;
    const auto report = SessionDiscovery::run(data.path(), {}, {}, analysis.callback());
    const auto manifest = SessionManifest::load(folder / "session.json");
    ASSERT_EQ(manifest.pairs.size(), 1u);
    EXPECT_EQ(manifest.pairs[0].file, "ok.jpg");
    ASSERT_EQ(report.sessions.size(), 1u);
    std::vector<std::string> messages;
    for (const auto& failure : report.failures) messages.push_back(failure.message);
    EXPECT_NE(std::find(messages.begin(), messages.end(), SessionDiscovery::nonUTF8PhotoMessage(latin1)), messages.end());
    EXPECT_NE(std::find(messages.begin(), messages.end(), SessionDiscovery::noListablePhotoMessage), messages.end());
    EXPECT_FALSE(fs::exists(latinFolder / "session.json"));

    // The command line's report stays valid JSON and a second run still reads the folder.
    const auto cli = discoverReport(data.path());
    EXPECT_EQ(resultsOf(cli, folder), report.sessions[0].resultsURL.string());
    EXPECT_EQ(analysis.calls, 1);
    const auto check = runCli({"manifest", "check", (folder / "session.json").string()}, hangLimit);
    EXPECT_EQ(check.exitCode, 0) << check.err;
}

TEST(Hardening, ADiscoveredRunGetsItsMissingPageFromItsResults) {
    TempDir data;
    const fs::path folder = data / "killed";
    const fs::path results = analysedSession(folder);
    fs::remove(folder / "run" / "index.html");  // killed after results.json
    const auto report = discoverReport(data.path());
    EXPECT_EQ(resultsOf(report, folder), results.string());
    EXPECT_EQ(runFolders(folder).size(), 0u);
    const auto page = runCli({"report", "page", results.string()}, hangLimit);
    ASSERT_EQ(page.exitCode, 0) << page.err;
    EXPECT_EQ(readText(folder / "run" / "index.html"), page.out);

    // An existing page is never replaced.
    writeText(folder / "run" / "index.html", "mine");
    discoverReport(data.path());
    EXPECT_EQ(readText(folder / "run" / "index.html"), "mine");
}

// A manifest naming a file that is not a photo fails the same way on every run: the reason
// is reported and no new run folder appears until the manifest or a photo changes.
TEST(Hardening, AFailureThatRepeatsOnTheSameBytesStartsNoNewRunFolder) {
    TempDir data;
    const fs::path folder = data / "notes";
    fs::create_directory(folder);
    writeText(folder / "notes.jpg", "1 2 3\n");
    const json::Value box = rect(0, 0, 10, 10);
    writeText(folder / "session.json",
              manifestOf(json::Value::array({manifestPair("A001", "notes.jpg", {manifestRider("subject", "R", box, box)})}))
                  .dump());

    const auto first = discoverReport(data.path());
    const std::string reason = failureOf(first, folder);
    EXPECT_TRUE(contains(reason, std::string("A001 subject: ") + ImageInput::unreadableMessage)) << reason;
    EXPECT_TRUE(contains(reason, (folder / "notes.jpg").string())) << reason;
    EXPECT_EQ(runFolders(folder).size(), 1u);

    const auto second = discoverReport(data.path());
    EXPECT_TRUE(contains(failureOf(second, folder), reason)) << failureOf(second, folder);
    EXPECT_EQ(runFolders(folder).size(), 1u);

    writeText(folder / "notes.jpg", "4 5 6\n");  // a changed file is tried again
    discoverReport(data.path());
    EXPECT_EQ(runFolders(folder).size(), 2u);
}

// Finite points so far apart that their distance overflows: the error is absent, never
// infinite, so the results file can still be written.
TEST(Hardening, AnOverflowingLandmarkErrorIsAbsent) {
    const auto localization = Localization::evaluate({{"root", {5, 5}}, {"neck", {5, 5}}},
                                                     {{"root", {-1.5e308, -1.5e308}, 1}, {"neck", {-1.5e308, 3}, 1}}, 1e-300);
    for (const auto& error : localization.errors) {
        EXPECT_FALSE(error.normalized) << error.name;
        EXPECT_TRUE(!error.pixels || std::isfinite(*error.pixels)) << error.name;
    }
    EXPECT_NO_THROW(json::encode(localization));
}

// Only whole photos of the photo formats are decoded, whatever a file's name claims.
TEST(Hardening, FilesThatOnlyPretendToBePhotosAreUnreadable) {
    TempDir dir;
    writePhoto(dir / "source.png", 40, 30);
    const std::vector<std::pair<std::string, std::string>> made = {{"gif", "gif"}, {"webp", "webp"}, {"v", "vips"}};
    std::vector<fs::path> fakes;
    for (const auto& [extension, what] : made) {
        const fs::path real = dir / ("real." + extension);
        ASSERT_EQ(std::system(("vips copy '" + (dir / "source.png").string() + "' '" + real.string() + "'").c_str()), 0);
        fs::rename(real, dir / (what + ".jpg"));
        fakes.push_back(dir / (what + ".jpg"));
    }
    const std::vector<std::pair<std::string, std::string>> written = {
        {"svg.jpg", R"(<svg xmlns="http://www.w3.org/2000/svg" width="15000" height="2600"><rect width="9" height="9"/></svg>)"},
        {"ppm.jpg", std::string("P6\n2 2\n255\n") + std::string(12, '\x7f')},
        {"pdf.jpg", "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>"
                    "endobj\n3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 9000 9000]>>endobj\ntrailer<</Root 1 0 R>>\n"},
        {"bmp.jpg", std::string("BM\x3a\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x01\0\0\0\x01\0\0\0\x01\0\x18\0\0\0\0\0\x04\0\0\0"
                                "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\xff\xff\xff\0",
                                58)},
    };
    for (const auto& [name, bytes] : written) {
        writeText(dir / name, bytes);
        fakes.push_back(dir / name);
    }
    // A photo cut off half way (a card still copying) is refused, not filled with grey.
    writePhoto(dir / "whole.jpg", 400, 300);
    const std::string whole = readText(dir / "whole.jpg");
    writeText(dir / "half.jpg", whole.substr(0, whole.size() / 2));
    fakes.push_back(dir / "half.jpg");
    for (const auto& fake : fakes) {
        const auto run = runCli({"image", "info", fake.string()}, hangLimit);
        EXPECT_EQ(run.exitCode, 1) << fake << run.out;
        EXPECT_TRUE(contains(run.err, ImageInput::unreadableMessage)) << fake << run.err;
        EXPECT_TRUE(contains(run.err, fake.string())) << run.err;
    }
}

// libvips would read "[shrink=8]" as load options for "a.jpg": the pixels and the hash must
// both come from the file that is named.
TEST(Hardening, APhotoNameWithBracketsIsJustAName) {
    TempDir dir;
    writePhoto(dir / "a.jpg", 400, 320);
    writePhoto(dir / "b.jpg", 120, 90);
    fs::rename(dir / "b.jpg", dir / "a.jpg[shrink=8]");
    const auto run = runCli({"image", "info", (dir / "a.jpg[shrink=8]").string()}, hangLimit);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto info = json::parse(run.out);
    EXPECT_EQ(info["width"], 120);
    EXPECT_EQ(info["height"], 90);
    EXPECT_EQ(info["sha256"], contentHash(readText(dir / "a.jpg[shrink=8]")));
}

TEST(Hardening, NamesWithTerminalEscapesArePrintedEscaped) {
    TempDir data;
    const std::string red = "\x1b[31mred\x1b[0m";
    fs::create_directory(data / red);
    writeText(data / red / "session.json", "{}");
    const auto run = runCli({"discover", data.path().string()}, hangLimit);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_FALSE(contains(run.out + run.err, "\x1b")) << run.out;
    EXPECT_TRUE(contains(run.out, "Session folder: \\x1b[31mred\\x1b[0m")) << run.out;

    const auto missing = runCli({"manifest", "check", (data / red / "absent.json").string()}, hangLimit);
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_FALSE(contains(missing.err, "\x1b")) << missing.err;
    EXPECT_TRUE(contains(missing.err, "\\x1b[31mred")) << missing.err;
}

// Three discoveries started together over one data folder: one manifest per folder (the
// losers continue with the one that won), one analysis per session, and no raw errors.
TEST(Hardening, ThreeConcurrentDiscoveriesAnalyseEachSessionOnce) {
    TempDir data, scratch;
    for (const char* name : {"one", "two"}) {
        fs::create_directory(data / name);
        writePhoto(data / name / "a.jpg", 64, 48);
    }
    std::string script;
    for (int i = 0; i < 3; ++i) {
        const std::string n = std::to_string(i);
        script += "( '" + std::string(TORVANE_CLI_PATH) + "' discover '" + data.path().string() + "' --report '" +
                  (scratch / ("report" + n)).string() + "' >'" + (scratch / ("out" + n)).string() + "' 2>&1; echo $? >'" +
                  (scratch / ("rc" + n)).string() + "' ) & ";
    }
    ASSERT_EQ(std::system(("ulimit -t 600; " + script + "wait").c_str()), 0);

    std::map<std::string, int> analysed;
    for (int i = 0; i < 3; ++i) {
        const std::string n = std::to_string(i);
        EXPECT_EQ(readText(scratch / ("rc" + n)), "0\n");
        const std::string out = readText(scratch / ("out" + n));
        EXPECT_FALSE(contains(out, "File exists")) << out;
        const auto report = json::parse(readText(scratch / ("report" + n)));
        for (const auto& session : report["sessions"])
            analysed[fs::path(session["manifestURL"].get<std::string>()).parent_path().filename().string()] +=
                session["wasAnalyzed"].get<bool>();
        for (const auto& failure : report["failures"])
            EXPECT_EQ(failure["message"], SessionDiscovery::busyFolderMessage) << out;
    }
    for (const char* name : {"one", "two"}) {
        EXPECT_EQ(analysed[name], 1) << name;
        EXPECT_EQ(runFolders(data / name).size(), 1u) << name;
        EXPECT_NO_THROW(SessionManifest::load(data / name / "session.json"));
    }
    // Afterwards every session is simply found.
    const auto after = discoverReport(data.path());
    EXPECT_EQ(after["sessions"].size(), 2u);
    EXPECT_EQ(after["failures"].size(), 0u);
}

// The folder lock is held by another process: that folder is skipped with a line saying so,
// the others are worked on.
TEST(Hardening, AFolderLockedByAnotherProcessIsSkippedWithALine) {
    TempDir data;
    const fs::path busy = data / "busy", free = data / "free";
    const fs::path freeResults = analysedSession(free);
    analysedSession(busy);
    auto holder = std::make_unique<LockHolder>([&](const LockHolder::Hold& hold) {
        platform::FolderLock lock(busy);
        hold(lock.held());
    });
    ASSERT_TRUE(holder->held());
    const auto report = discoverReport(data.path());
    holder.reset();
    EXPECT_EQ(failureOf(report, busy), SessionDiscovery::busyFolderMessage);
    EXPECT_EQ(resultsOf(report, free), freeResults.string());
    // The lock dies with its holder.
    EXPECT_EQ(resultsOf(discoverReport(data.path()), busy), (busy / "run" / "results.json").string());
}

// A stuck process holding the lock: the save says it waits, then gives up; a holder that lets
// go in time lets it through.
TEST(Hardening, ASaveWaitsForAnotherSaversLockABoundedTime) {
    const ReviewOnDisk review;
    const fs::path& target = review.path;
    ReviewStore::save(review.fresh, target, std::nullopt);
    const std::string before = readText(target);
    ReviewDocument next = review.fresh;
    next.revision = 1;
    writeText(review.temp / "next.json", json::pretty(next));
    for (const bool releases : {false, true}) {
        auto holder = std::make_unique<LockHolder>([&](const LockHolder::Hold& hold) {
            platform::ExclusiveLock lock(ReviewStore::lockPath(target));
            hold(lock.acquire(std::chrono::seconds(5)));
        }, releases ? 1 : 0);
        ASSERT_TRUE(holder->held());
        const auto run = runCli({"review", "save", (review.temp / "next.json").string(), "--to", target.string(),
                                 "--expected-revision", "0"}, hangLimit);
        holder.reset();
        EXPECT_TRUE(contains(run.err, "Waiting for another save of " + target.string())) << run.err;
        if (releases) {
            EXPECT_EQ(run.exitCode, 0) << run.err;
        } else {
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_TRUE(contains(run.err, std::string(ReviewStore::cannotAcquireMessage) + "\n")) << run.err;
            EXPECT_EQ(readText(target), before);
        }
    }
}
