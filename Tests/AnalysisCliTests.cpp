// The pair, lean, coaching and checklist commands as a user runs them: the built torvane
// binary on document files.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "AnalysisFixtures.h"
#include "Torvane/CoachingChecklist.h"
#include "Torvane/LeanAnalysis.h"
#include "Torvane/PairAnalysis.h"
#include "Torvane/PhotoCoaching.h"
#include "Torvane/platform/FileSystem.h"

using namespace torvane;
using namespace torvane::fixtures;

namespace {

struct CliRun {
    int code;
    std::string out, err;
    json::Value json() const { return json::parse(out); }
};

struct AnalysisCli : ::testing::Test {
    TempFolder temp;

    std::string file(const std::string& name, const std::string& text) {
        writeText(temp.path / name, text);
        return "'" + (temp.path / name).string() + "'";
    }
    CliRun torvane(const std::string& arguments) {
        const auto out = temp.path / "stdout", err = temp.path / "stderr";
        const std::string command = std::string("'") + TORVANE_CLI_PATH + "' " + arguments + " >'" + out.string() +
                                    "' 2>'" + err.string() + "'";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, platform::readFile(out), platform::readFile(err)};
    }
};

// Subject elbows at 150 and 95 degrees, reference at 120 and 110, a left-hand corner
// with every view comparable, the subject's right knee hidden.
ReviewDocument analysedDocument() {
    ReviewDocument d = document();
    d.revision = 2;
    placeAngle(d.frames[0], PairFeature::leftElbow, 150);
    placeAngle(d.frames[1], PairFeature::leftElbow, 120);
    placeAngle(d.frames[0], PairFeature::rightElbow, 95);
    placeAngle(d.frames[1], PairFeature::rightElbow, 110);
    d.frames[0].setJoint("right_knee", std::nullopt, JointReviewState::occluded);
    PairContext c(d, pairA);
    c.cornerDirection = CornerDirection::left;
    for (PairFeature f : allCases<PairFeature>()) c.comparability[f] = ViewComparability::comparable;
    c.kneePlacement = std::map<PairFeature, KneePlacement>{{PairFeature::leftKnee, KneePlacement::closerToTank}};
    d.comparisonContexts = {c};
    return d;
}

}  // namespace

TEST_F(AnalysisCli, PairAnalyzePrintsTheReportWithCoaching) {
    const std::string doc = file("doc.json", json::pretty(analysedDocument()));
    CliRun run = torvane("pair analyze " + doc + " --pair A001");
    ASSERT_EQ(run.code, 0) << run.err;
    auto report = run.json();
    std::vector<std::string> keys;
    for (auto it = report.begin(); it != report.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"activeRuleCount", "analyzerVersion", "catalogVersion", "coaching",
                                              "context", "effectiveCornerDirection", "evidenceHash", "focus",
                                              "hasPhotoCoaching", "limitations", "observations", "pair", "revision",
                                              "unobservableKnees"}));
    EXPECT_EQ(report["revision"], 2);
    EXPECT_EQ(report["catalogVersion"], "1-pending-review");
    EXPECT_EQ(report["activeRuleCount"], 0);
    EXPECT_EQ(report["effectiveCornerDirection"], "left");
    EXPECT_EQ(report["unobservableKnees"], json::parse(R"(["rightKnee"])"));
    EXPECT_EQ(report["limitations"], PairReport::limitations);
    EXPECT_EQ(report["pair"], json::parse(R"({"id": "A001", "referenceID": "A001-reference", "subjectID": "A001-subject"})"));
    ASSERT_EQ(report["coaching"].size(), 3u);
    EXPECT_EQ(report["coaching"][0]["id"], "leftElbow");
    EXPECT_EQ(report["coaching"][0]["feature"], "leftElbow");
    EXPECT_EQ(report["coaching"][0]["title"], "Inside elbow: explore more bend");
    EXPECT_EQ(report["coaching"][1]["title"], "Outside elbow: explore less bend");
    EXPECT_EQ(report["coaching"][2]["title"], "Inside knee: open toward the turn");
    EXPECT_EQ(report["coaching"][2]["version"], "velmor-reference-draft-3");
    EXPECT_NEAR(report["observations"][0]["delta"].get<double>(), 30, 1e-9);
    EXPECT_EQ(report["observations"][2]["comparisonUnavailable"], PairAnalysis::missingJointsText);
    EXPECT_FALSE(report["observations"][2]["subject"].contains("angle"));
}

TEST_F(AnalysisCli, PairAnalyzeRunsACatalogueFileAndNeverPrintsNaN) {
    ReviewDocument d = analysedDocument();
    place(d.frames[0], PairFeature::leftElbow, {100, 100}, {200, 200}, {200, 200});  // wrist on the elbow
    const std::string doc = file("doc.json", json::pretty(d));
    const std::string rules = file("rules.json", R"({"version": "club-1", "rules": [
        {"id": "r1", "version": "1", "feature": "rightElbow", "direction": "smaller", "threshold": 10,
         "priority": 1, "suggestion": "Let the elbow fold.", "limitation": "2D only.",
         "reviewProvenance": "Coach K, 2026", "requiresCorner": true},
        {"id": "r2", "version": "1", "feature": "leftElbow", "direction": "greater", "priority": 2,
         "suggestion": "s", "limitation": "l", "requiresCorner": false}]})");
    CliRun run = torvane("pair analyze " + doc + " --pair A001 --rules " + rules);
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out.find("null"), std::string::npos);  // how a NaN would print
    auto report = run.json();
    EXPECT_EQ(report["catalogVersion"], "club-1");
    EXPECT_EQ(report["activeRuleCount"], 1);
    ASSERT_EQ(report["focus"].size(), 1u);
    EXPECT_EQ(report["focus"][0]["ruleID"], "r1");
    EXPECT_EQ(report["focus"][0]["joints"], json::parse(R"(["right_shoulder", "right_elbow", "right_wrist"])"));
    EXPECT_EQ(report["observations"][0]["subject"]["unavailable"], "invalidGeometry");
    EXPECT_FALSE(report["observations"][0].contains("delta"));

    CliRun missing = torvane("pair analyze " + doc + " --pair B001");
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err, "No complete pair to analyze.\n");
    EXPECT_EQ(torvane("pair analyze " + doc + " --pair Z009").err, "No complete pair to analyze.\n");
    EXPECT_EQ(torvane("pair analyze " + doc).code, 2);
}

TEST_F(AnalysisCli, LeanCommandsMeasureDigestAndCompare) {
    ReviewDocument d = document();
    for (auto* f : {&d.frames[0], &d.frames[1]}) {
        LeanAnnotation a(*f, LeanLine{{400, 600}, {f == &d.frames[0] ? 500.0 : 450.0, 300}, 2});
        a.state = LeanState::reviewed;
        d.leanAnnotations.emplace(f->id, a);
    }
    LeanPairContext c;
    c.commonCue = c.comparableView = c.comparableHeading = c.comparableReference = c.comparableCameraRoll = true;
    d.leanContexts.emplace("A001", c);
    std::string doc = file("doc.json", json::pretty(d));

    auto measured = torvane("lean measure " + doc + " --frame A001-subject").json();
    EXPECT_EQ(measured, json::encode(*LeanAnalysis::measure(d.leanAnnotations["A001-subject"])));
    EXPECT_EQ(torvane("lean measure " + doc + " --frame B001-subject").err,
              "The document has no lean annotation for frame B001-subject.\n");

    auto unapproved = torvane("lean compare " + doc + " --pair A001").json();
    EXPECT_EQ(unapproved, json::parse(std::string(R"({"summary": ")") + LeanAnalysis::unreviewedText + "\"}"));

    CliRun digest = torvane("lean digest " + doc + " --pair A001");
    ASSERT_EQ(digest.code, 0) << digest.err;
    EXPECT_EQ(digest.out, LeanAnalysis::evidenceDigest(d, pairA) + "\n");
    d.leanContexts["A001"].approvalDigest = LeanAnalysis::evidenceDigest(d, pairA);
    doc = file("doc.json", json::pretty(d));
    auto compared = torvane("lean compare " + doc + " --pair A001").json();
    EXPECT_EQ(compared["summary"], "Rider shows a larger apparent 2D wheel angle than Reference rider.");
    EXPECT_EQ(compared["measurement"], json::encode(*LeanAnalysis::compare(d, pairA).measurement));
    EXPECT_EQ(torvane("lean digest " + doc + " --pair B001").err, "Missing lean annotation.\n");
}

TEST_F(AnalysisCli, CoachingImportAndSingleCheckStrictly) {
    const ReviewDocument d = document();
    const std::string doc = file("doc.json", json::pretty(d));
    PairContext imported(d, pairA);
    imported.photoCoaching = PhotoCoachingReview{CornerDirection::right, "Coach K", {{"Look", "Further ahead."}}};
    CliRun run = torvane("coaching import " + file("contexts.json", json::pretty(std::vector<PairContext>{imported})) +
                      " --document " + doc);
    ASSERT_EQ(run.code, 0) << run.err;
    auto result = json::decodeText<ReviewDocument>(run.out);
    EXPECT_EQ(result.revision, 1);
    ASSERT_EQ(result.comparisonContexts.size(), 1u);
    EXPECT_EQ(result.comparisonContexts[0].photoCoaching, imported.photoCoaching);

    CliRun twice = torvane("coaching import " +
                        file("contexts.json", json::pretty(std::vector<PairContext>{imported, imported})) +
                        " --document " + doc);
    EXPECT_EQ(twice.code, 1);
    EXPECT_EQ(twice.out, "");
    EXPECT_EQ(twice.err, "Photo coaching import has no pairs or duplicate pairs.\n");

    const std::string single = file("single.json", json::pretty(std::vector<SinglePhotoCoaching>{
        {"B001-subject", std::string(64, 'c'), panel, "Coach K", {{"Hips", "Move earlier."}}}}));
    auto loaded = torvane("coaching single " + single + " --document " + doc).json();
    EXPECT_EQ(loaded["B001-subject"]["points"][0]["title"], "Hips");
    const std::string wrong = file("wrong.json", json::pretty(std::vector<SinglePhotoCoaching>{
        {"A001-subject", std::string(64, 'a'), panel, "Coach K", {{"Hips", "Move earlier."}}}}));
    EXPECT_EQ(torvane("coaching single " + wrong + " --document " + doc).err,
              std::string(SinglePhotoCoaching::invalidMessage) + "\n");
}

TEST_F(AnalysisCli, ChecklistNewLoadAndRows) {
    const ReviewDocument d = document();
    const std::string doc = file("doc.json", json::pretty(d));
    CliRun fresh = torvane("checklist new --document " + doc + " --frame A001-subject");
    ASSERT_EQ(fresh.code, 0) << fresh.err;
    auto review = json::decodeText<CoachingChecklistReview>(fresh.out);
    EXPECT_EQ(review, CoachingChecklistReview(d.frames[0]));

    review.items[1] = {CoachingTopic::levers, CoachingReviewStatus::focus, "Two fingers on the brake."};
    const std::string list = file("checklist.json", json::pretty(std::vector<CoachingChecklistReview>{review}));
    auto loaded = torvane("checklist load " + list + " --document " + doc).json();
    EXPECT_EQ(loaded["A001-subject"]["items"][1]["status"], "focus");

    auto rows = torvane("checklist rows " + list + " --document " + doc + " --frame A001-subject").json();
    ASSERT_EQ(rows.size(), 9u);
    EXPECT_EQ(rows[1]["observation"], "Two fingers on the brake.");
    auto defaults = torvane("checklist rows " + list + " --document " + doc + " --frame B001-subject").json();
    EXPECT_EQ(defaults, json::encode(CoachingChecklist::rows(std::nullopt)));

    const std::string duplicate =
        file("duplicate.json", json::pretty(std::vector<CoachingChecklistReview>{review, review}));
    EXPECT_EQ(torvane("checklist load " + duplicate + " --document " + doc).err,
              "Duplicate coaching checklist subject.\n");
    EXPECT_EQ(torvane("checklist new --document " + doc + " --frame nope").code, 1);
}

// The README's worked example, end to end through the shell script it shows.
TEST_F(AnalysisCli, WorkedExampleRunsAsDocumented) {
    if (std::system("command -v jq >/dev/null 2>&1") != 0) GTEST_SKIP() << "jq is not installed";
    const std::string script = std::string(TORVANE_SOURCE_DIR) + "/docs/example/compare.sh";
    const auto work = temp.path / "work";
    std::filesystem::create_directories(work);
    const std::string command = "bash '" + script + "' '" + TORVANE_CLI_PATH + "' '" + work.string() + "' >'" +
                                (temp.path / "out").string() + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << platform::readFile(temp.path / "out");
    const std::string out = platform::readFile(temp.path / "out");
    EXPECT_NE(out.find("leftElbow: subject minus reference 31.3 degrees\n"), std::string::npos) << out;
    EXPECT_NE(out.find("* Inside elbow: explore more bend\n"), std::string::npos);
    EXPECT_NE(out.find("* Inside knee: open toward the turn\n"), std::string::npos);
    EXPECT_EQ(out.find("Outside"), std::string::npos);
    EXPECT_NE(out.find("Rider shows a larger apparent 2D wheel angle than Reference rider."), std::string::npos);

    // The reviewed document still passes every check of the store's loader.
    EXPECT_NO_THROW(ReviewStore::decode(platform::readFile(work / "joint-review.json")));
}
