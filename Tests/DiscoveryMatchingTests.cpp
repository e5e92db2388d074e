// Automatic manifests, photo-file tests and results matching on real files.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/ReviewStore.h"

using namespace torvane;
using namespace torvane::test;
namespace fs = std::filesystem;

TEST(DiscoveryManifest, OnePairPerPhotoInGivenOrderWithWholeUprightCrops) {
    TempDir data;
    const fs::path folder = data / "Track day";
    fs::create_directory(folder);
    writePhoto(folder / "A.JPG", 40, 30);
    writePhoto(folder / "b.jpg", 24, 16, 6);  // stored landscape, shown portrait
    writePhoto(folder / "c.png", 10, 12);

    SessionDiscovery::createManifest({folder / "A.JPG", folder / "b.jpg", folder / "c.png"}, folder / "session.json");

    const auto manifest = SessionManifest::load(folder / "session.json");
    EXPECT_EQ(manifest.session, "Track day");
    ASSERT_FALSE(manifest.pairs.empty());
    const std::string note = manifest.pairs[0].riders.at(0).annotationNote;
    auto whole = [&](const std::string& id, const std::string& file, double width, double height) {
        const PixelRect all{0, 0, width, height};
        const RiderInput rider{"subject", SessionDiscovery::unreviewedRiderName, std::nullopt, all, all, {}, std::nullopt, note};
        return PairInput{id, file, {rider}};
    };
    EXPECT_EQ(manifest.pairs, (std::vector<PairInput>{whole("A001", "A.JPG", 40, 30), whole("A002", "b.jpg", 16, 24),
                                                      whole("A003", "c.png", 10, 12)}));
}

TEST(DiscoveryManifest, WritesNothingWhenAPhotoFailsAndNeverReplacesAFile) {
    TempDir data;
    writePhoto(data / "a.jpg", 8, 8);
    writeText(data / "b.jpg", "this is text, not a photo");
    EXPECT_EQ(messageOf([&] { SessionDiscovery::createManifest({data / "a.jpg", data / "b.jpg"}, data / "session.json"); }),
              "Unreadable image or exceeds 40 megapixel limit. Photo: \"" + (data / "b.jpg").string() + "\".");
    EXPECT_FALSE(fs::exists(data / "session.json"));

    writeText(data / "session.json", "{\"mine\": true}\n");
    EXPECT_THROW(SessionDiscovery::createManifest({data / "a.jpg"}, data / "session.json"), fs::filesystem_error);
    EXPECT_EQ(readText(data / "session.json"), "{\"mine\": true}\n");
}

TEST(DiscoveryManifest, PhotoFilesByExtensionRegularAndNotLinked) {
    TempDir data;
    for (const char* name : {"IMG_1.JPG", "x.HeIc", "y.tiff", "z.jpeg", "jpg", "notes.txt", "w.jpg.bak"})
        writeText(data / name, "bytes");
    fs::create_directory(data / "folder.jpg");
    fs::create_symlink(data / "IMG_1.JPG", data / "link.jpg");
    for (const char* name : {"IMG_1.JPG", "x.HeIc", "y.tiff", "z.jpeg"}) EXPECT_TRUE(SessionDiscovery::isPhotoFile(data / name));
    for (const char* name : {"jpg", "notes.txt", "w.jpg.bak", "folder.jpg", "link.jpg", "missing.png"})
        EXPECT_FALSE(SessionDiscovery::isPhotoFile(data / name)) << name;
}

class DiscoveryReportMatching : public ::testing::Test {
protected:
    void SetUp() override {
        writePhoto(data / "a.jpg", 16, 12);
        writePhoto(data / "b.png", 18, 12);
        SessionDiscovery::createManifest({data / "a.jpg", data / "b.png"}, manifestPath);
        // A reference rider from the first photo makes the source map hold three crops.
        auto manifest = SessionManifest::load(manifestPath);
        auto reference = manifest.pairs[0].riders[0];
        reference.role = "reference";
        manifest.pairs[0].riders.push_back(reference);
        writeText(manifestPath, json::pretty(manifest));
        manifestHash = SessionDiscovery::digest(readText(manifestPath));
        sources = SessionDiscovery::sourceHashes(SessionManifest::load(manifestPath), manifestPath);
    }

    bool valid(const FeasibilityReport& report) {
        writeText(data / "results.json", json::pretty(report));
        return SessionDiscovery::validReport(data / "results.json", manifestHash, sources);
    }

    TempDir data;
    fs::path manifestPath = data / "session.json";
    std::string manifestHash;
    SourceMap sources;
};

TEST_F(DiscoveryReportMatching, SourceMapHashesEveryRidersPhoto) {
    const auto a = contentHashOfFile(data / "a.jpg"), b = contentHashOfFile(data / "b.png");
    EXPECT_EQ(sources, (SourceMap{{"A001-reference", a}, {"A001-subject", a}, {"A002-subject", b}}));
}

TEST_F(DiscoveryReportMatching, OnlyACompleteReportOfTheseBytesIsValid) {
    const auto good = matchingReport(manifestPath);
    EXPECT_TRUE(valid(good));

    // A crop that records a detection error still counts: every rider was attempted.
    auto failedRider = good;
    failedRider.crops[1].error = "Crop is outside the image or not integral pixels.";
    EXPECT_TRUE(valid(failedRider));

    const std::vector<std::pair<const char*, std::function<void(FeasibilityReport&)>>> invalid = {
        {"other schema", [](auto& r) { r.schemaVersion = 2; }},
        {"other manifest", [](auto& r) { r.manifestHash.back() = r.manifestHash.back() == '0' ? '1' : '0'; }},
        {"a rider missing", [](auto& r) { r.crops.pop_back(); }},
        {"a rider too many", [](auto& r) { r.crops.push_back(r.crops[0]); r.crops.back().pairID = "A003"; }},
        {"a rider twice", [](auto& r) { r.crops[2] = r.crops[0]; }},
        {"no photo hash", [](auto& r) { r.crops[0].sourceHash.reset(); }},
        {"another photo", [](auto& r) { r.crops[2].sourceHash = contentHash("other bytes"); }},
    };
    for (const auto& [name, change] : invalid) {
        auto report = good;
        change(report);
        EXPECT_FALSE(valid(report)) << name;
    }
    writeText(data / "results.json", "{\"schemaVersion\": 1");
    EXPECT_FALSE(SessionDiscovery::validReport(data / "results.json", manifestHash, sources));
    EXPECT_FALSE(SessionDiscovery::validReport(data / "absent.json", manifestHash, sources));
}

// Two valid results files of the same manifest and photos, each with a saved joint review.
class DiscoveryReviewPreference : public DiscoveryReportMatching {
protected:
    void SetUp() override {
        DiscoveryReportMatching::SetUp();
        for (const auto& results : {first, second}) {
            fs::create_directory(results.parent_path());
            auto report = matchingReport(manifestPath);
            report.generatedAt = results == first ? "2026-01-01T00:00:00Z" : "2026-01-02T00:00:00Z";
            writeText(results, json::pretty(report));
            ReviewStore::save(ReviewStore::make(manifestPath, results), ReviewStore::documentPath(results), std::nullopt);
        }
    }

    void setReviewTime(const fs::path& results, int secondsAgo) {
        fs::last_write_time(ReviewStore::documentPath(results),
                            fs::file_time_type::clock::now() - std::chrono::seconds(secondsAgo));
    }

    std::optional<fs::path> preferred(const std::optional<fs::path>& known = std::nullopt) {
        return SessionDiscovery::preferredReport({first, second}, manifestPath, known);
    }

    fs::path first = data / "run-1" / "results.json";
    fs::path second = data / "run-2" / "results.json";
};

TEST_F(DiscoveryReviewPreference, KnownThenNewestReviewThenPathText) {
    setReviewTime(first, 100);
    setReviewTime(second, 10);
    EXPECT_EQ(preferred(), second);
    EXPECT_EQ(preferred(first), first);  // the known file wins even with the older review
    setReviewTime(first, 5);
    EXPECT_EQ(preferred(), first);
    const auto now = fs::last_write_time(ReviewStore::documentPath(first));
    fs::last_write_time(ReviewStore::documentPath(second), now);
    EXPECT_EQ(SessionDiscovery::preferredReport({second, first}, manifestPath, std::nullopt), first);
}

TEST_F(DiscoveryReviewPreference, ReviewsThatDoNotFitAreIgnored) {
    setReviewTime(first, 100);
    setReviewTime(second, 10);
    // The newer review is replaced by one made for the other results file: other evidence.
    const auto foreign = readText(ReviewStore::documentPath(first));
    writeText(ReviewStore::documentPath(second), foreign);
    EXPECT_EQ(preferred(), first);
    // A review that does not load counts as none; the known file is then just a candidate.
    writeText(ReviewStore::documentPath(first), "{not json");
    EXPECT_EQ(preferred(second), first);
    EXPECT_EQ(SessionDiscovery::preferredReport({second, first}, manifestPath, std::nullopt), second);
}
