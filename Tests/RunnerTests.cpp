#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "TestSupport.h"
#include "Torvane/ContentHash.h"
#include "Torvane/FeasibilityRunner.h"
#include "Torvane/ImageInput.h"
#include "Torvane/InspectionRenderer.h"
#include "Torvane/Json.h"
#include "Torvane/SessionManifest.h"
#include "Torvane/platform/FileSystem.h"

using namespace torvane;
using namespace torvane::test;
namespace fs = std::filesystem;

namespace {

const json::Value ana = manifestRider("subject", "Ana", rect(0, 0, 120, 90), rect(0, 0, 60, 60));

// A session folder with its photos (one rider on the small one unless writeManifest says
// otherwise); run() keeps the progress lines in `printed`.
struct RunSession {
    test::TempDir folder;
    fs::path manifest = folder / "session.json";
    fs::path out = folder / "run";
    std::string printed;

    RunSession() {
        torvane::test::writePhoto(folder / "track.png", 300, 200);
        torvane::test::writePhoto(folder / "small.png", 120, 90);
        writeManifest(json::Value::array({manifestPair("A001", "small.png", {ana})}));
    }
    void writeManifest(const json::Value& pairs) const {
        const json::Value m = manifestOf(pairs, "Turn 3 <morning>", "Coach & rider, provisional");
        platform::writeFileAtomically(manifest, m.dump());
    }
    FeasibilityReport run(const PoseEstimates& estimates = scriptedPoses()) { return run(out, estimates); }
    FeasibilityReport run(const fs::path& to, const PoseEstimates& estimates = scriptedPoses()) {
        printed.clear();
        return FeasibilityRunner::run(manifest, to, estimates, [&](const std::string& line) { printed += line + "\n"; });
    }
};

}  // namespace

TEST(Runner, EveryRiderKeepsItsPlaceAndOneFailureNeverStopsTheRun) {
    RunSession s;
    const json::Value annotations = json::Value::array(
        {{{"name", "left_knee"}, {"point", {{"x", 100}, {"y", 100}}}, {"uncertaintyPixels", 4}},
         {{"name", "left_ankle"}, {"point", {{"x", 100}, {"y", 150}}}, {"uncertaintyPixels", 4}}});
    const json::Value knee = json::Value::array(
        {{{"name", "left_knee"}, {"point", {{"x", 60}, {"y", 40}}}, {"uncertaintyPixels", 9}}});
    s.writeManifest(json::Value::array(
        {manifestPair("A001", "track.png", {manifestRider("subject", "Ana", rect(0, 0, 300, 200), rect(50, 20, 100, 160), annotations),
                                    manifestRider("reference", "Ben", rect(100, 0, 200, 200), rect(150, 10, 100, 100))}),
         manifestPair("A002", "missing.png", {manifestRider("subject", "Cy", rect(0, 0, 10, 10), rect(0, 0, 10, 10))}),
         manifestPair("A003", "small.png", {manifestRider("subject", "Di", rect(60, 0, 100, 90), rect(60, 10, 50, 50))}),
         manifestPair("A004", "small.png", {manifestRider("subject", "Di", rect(10, 5, 100, 80), rect(20, 10, 50, 50), knee)}),
         manifestPair("A005", "track.png", {manifestRider("subject", "Ed", rect(0, 0, 300, 200), rect(0, 0, 300, 200), knee)})}));
    const fs::path out = s.folder / "runs" / "deep" / "run-1";  // parents do not exist yet
    const auto report = s.run(out);

    EXPECT_EQ(s.printed,
              "A001 subject: 3D=needsReview 2D=ambiguous\n"
              "A001 reference: 3D=needsReview 2D=ambiguous\n"
              "A002 subject: 3D=unavailable 2D=unavailable\n"
              "A003 subject: 3D=unavailable 2D=unavailable\n"
              "A004 subject: 3D=needsReview 2D=ambiguous\n"
              "A005 subject: 3D=needsReview 2D=ambiguous\n");
    std::set<std::string> pictures;
    for (const char* rider : {"A001-subject", "A001-reference", "A004-subject", "A005-subject"})
        for (const char* kind : {"-3D.png", "-2D.png"}) pictures.insert(std::string(rider) + kind);
    std::set<std::string> files = pictures;
    files.insert({"results.json", "index.html"});
    EXPECT_EQ(namesIn(out), files);
    ASSERT_EQ(report.crops.size(), 6u);
    const auto photoHash = contentHashOfFile(s.folder / "track.png");

    const auto& ana = report.crops[0];
    EXPECT_EQ(ana.sourceHash, photoHash);
    EXPECT_FALSE(ana.error);
    ASSERT_TRUE(ana.threeD && ana.twoD && ana.localization3D && ana.localization2D);
    // 3-D: every joint takes part; 2-D: 0.2 does, 0.19 does not.
    EXPECT_TRUE(ana.localization3D->errors.at(0).pixels && ana.localization3D->errors.at(1).pixels);
    for (const auto& e : ana.localization2D->errors)
        EXPECT_EQ(e.pixels.has_value(), e.name == "left_knee") << e.name;
    EXPECT_TRUE(report.crops[1].localization2D);  // no annotations still gives both records

    const auto& missing = report.crops[2];
    EXPECT_EQ(missing.pairID, "A002");
    EXPECT_EQ(missing.error, "Unreadable image or exceeds 40 megapixel limit.");
    EXPECT_FALSE(missing.sourceHash || missing.threeD || missing.twoD || missing.localization3D);

    const auto& outside = report.crops[3];  // crop fine, panel beyond the right edge
    EXPECT_EQ(outside.sourceHash, contentHashOfFile(s.folder / "small.png"));
    EXPECT_EQ(outside.error, "Crop is outside the image or not integral pixels.");
    EXPECT_FALSE(outside.threeD || outside.twoD);

    // results.json holds exactly the returned report, and the page is built from it.
    const std::string stored = platform::readFile(out / "results.json");
    EXPECT_EQ(json::decodeText<FeasibilityReport>(stored), report);
    EXPECT_EQ(platform::readFile(out / "index.html"), FeasibilityRunner::html(report));
    EXPECT_EQ(report.session, "Turn 3 <morning>");

    // Pictures are encoded while later riders are decoded and detected: each file must still
    // be exactly its own rider's drawing, whatever fails in between.
    const test::TempDir alone;
    const std::map<std::string, std::string> photoOf = {{"A001", "track.png"}, {"A004", "small.png"}, {"A005", "track.png"}};
    int compared = 0;
    for (const auto& crop : report.crops) {
        if (crop.error) continue;
        const auto manifest = SessionManifest::load(s.manifest);
        const auto& pair = *std::find_if(manifest.pairs.begin(), manifest.pairs.end(), [&](auto& p) { return p.id == crop.pairID; });
        const auto& rider = *std::find_if(pair.riders.begin(), pair.riders.end(), [&](auto& r) { return r.role == crop.role; });
        const auto panel = ImageInput::load(s.folder / photoOf.at(crop.pairID)).cropped(rider.panel);
        for (const auto* pose : {&*crop.threeD, &*crop.twoD}) {
            const std::string name = crop.pairID + "-" + crop.role + "-" + pose->kind + ".png";
            InspectionRenderer::write(panel, rider.panel, rider.crop, *pose, rider.annotations, alone / name);
            EXPECT_EQ(platform::readFile(out / name), platform::readFile(alone / name)) << name;
            ++compared;
        }
    }
    EXPECT_EQ(compared, 8);
}

TEST(Runner, AnExistingRunFolderIsNeverReusedNorAFolderMadeForABadManifest) {
    RunSession s;
    const fs::path& out = s.out;
    s.run();
    const std::string first = platform::readFile(out / "results.json");
    const auto files = namesIn(out);

    const std::string message = "Output directory already exists; choose a new run directory to preserve evidence.";
    for (const fs::path& again : {out, fs::path(out.string() + "/")}) {
        EXPECT_EQ(messageOf([&] { s.run(again); }), message) << again;
        EXPECT_EQ(s.printed, "");
    }
    EXPECT_EQ(platform::readFile(out / "results.json"), first);
    EXPECT_EQ(namesIn(out), files);

    // A file, or a symbolic link to nowhere, at that name counts as existing too.
    platform::writeFileAtomically(s.folder / "plain-file", "x");
    fs::create_symlink(s.folder / "nowhere", s.folder / "dangling");
    for (const char* name : {"plain-file", "dangling"})
        EXPECT_THROW(s.run(s.folder / name), PoseError) << name;
    EXPECT_FALSE(fs::exists(s.folder / "nowhere"));

    // A manifest that does not load creates no folder at all.
    platform::writeFileAtomically(s.manifest, "{\"schemaVersion\": 1}");
    EXPECT_THROW(s.run(s.folder / "run-2"), DecodingError);
    EXPECT_FALSE(fs::exists(s.folder / "run-2"));
}

TEST(Runner, AFailedPictureIsRecordedAndKeepsTheDetections) {
    RunSession s;
    s.writeManifest(json::Value::array(
        {manifestPair("A001", "small.png", {ana, manifestRider("reference", "Ben", rect(0, 0, 120, 90), rect(60, 30, 60, 60))})}));
    const fs::path& out = s.out;
    auto estimates = scriptedPoses();
    auto detect3D = estimates.estimate3D;
    // Something occupies the subject's 3-D picture name by the time it is drawn.
    estimates.estimate3D = [&](const platform::Raster& image, const PixelRect& crop) {
        fs::create_directories(out / "A001-subject-3D.png");
        return detect3D(image, crop);
    };
    const auto report = s.run(estimates);
    const auto& subject = report.crops.at(0);
    EXPECT_EQ(subject.error, "Cannot create output PNG.");
    EXPECT_TRUE(subject.threeD && subject.twoD && subject.localization3D && subject.localization2D);
    EXPECT_FALSE(fs::exists(out / "A001-subject-2D.png"));  // not attempted after the 3-D failure
    EXPECT_FALSE(report.crops.at(1).error);
    EXPECT_TRUE(fs::is_regular_file(out / "A001-reference-2D.png"));
    EXPECT_EQ(s.printed, "A001 subject: 3D=needsReview 2D=ambiguous\nA001 reference: 3D=needsReview 2D=ambiguous\n");
}

TEST(Runner, ANonFiniteNumberFailsTheReportAndLeavesNoPartialFile) {
    RunSession s;
    auto estimates = scriptedPoses();
    auto detect2D = estimates.estimate2D;
    estimates.estimate2D = [&](const platform::Raster& image, const PixelRect& crop) {
        auto r = detect2D(image, crop);
        r.durationSeconds = std::nan("");
        return r;
    };
    const std::string message = messageOf([&] { s.run(estimates); });
    EXPECT_TRUE(contains(message, "twoD.durationSeconds")) << message;
    // The pictures stay as evidence; no results.json, no temporary file, no page.
    EXPECT_EQ(namesIn(s.out), (std::set<std::string>{"A001-subject-3D.png", "A001-subject-2D.png"}));
}

TEST(Runner, ManifestHashDescribesTheTextTheRunWasMadeFrom) {
    RunSession s;
    auto estimates = scriptedPoses();
    auto detect3D = estimates.estimate3D;
    estimates.estimate3D = [&](const platform::Raster& image, const PixelRect& crop) {
        platform::writeFileAtomically(s.manifest, platform::readFile(s.manifest) + "\n");
        return detect3D(image, crop);
    };
    const std::string parsed = platform::readFile(s.manifest);
    const auto report = s.run(estimates);
    EXPECT_EQ(report.manifestHash, contentHash(parsed));  // edited meanwhile: not the file as it ends
    EXPECT_EQ(report.crops.size(), 1u);
}
