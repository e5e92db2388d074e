// The printable session report as a user makes it: `torvane review report` on a real run
// folder with a saved review and checklists. It says why every missing value is missing,
// escapes every text, and never replaces a file.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/ReviewDecisions.h"
#include "Torvane/SessionReport.h"

using namespace torvane;
using namespace torvane::test;

namespace {

std::set<std::string> reportsIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().rfind(SessionReport::prefix, 0) == 0)
            names.insert(entry.path().filename().string());
    return names;
}

struct SessionReportTest : ::testing::Test {
    TempDir temp;
    SessionFiles session = writeSession(temp.path() / "session");
    fs::path run = session.report.parent_path();
    fs::path documentPath = ReviewStore::documentPath(session.report);
    ReviewDocument document = ReviewStore::make(session.manifest, session.report);

    void SetUp() override {
        // The run's inspection pictures: the panel at the top left, the legend beside it.
        platform::writePNG(platform::Raster::filled(60 + 310, 560, 40, 40, 40), run / "p1-subject-2D.png");
        platform::writePNG(platform::Raster::filled(50 + 310, 560, 40, 40, 40), run / "p1-reference-2D.png");

        ReviewFrame& subject = *document.frame("p1-subject");
        subject.setJoint("left_shoulder", Point2{10, 10}, JointReviewState::confirmed);
        subject.setJoint("left_elbow", Point2{30, 10}, JointReviewState::corrected);
        subject.setJoint("left_wrist", Point2{30, 30}, JointReviewState::confirmed);
        subject.setJoint("right_knee", std::nullopt, JointReviewState::occluded);
        ReviewFrame& reference = *document.frame("p1-reference");
        reference.setJoint("left_shoulder", Point2{10, 10}, JointReviewState::confirmed);
        reference.setJoint("left_elbow", Point2{30, 10}, JointReviewState::confirmed);
        reference.setJoint("left_wrist", Point2{50, 10}, JointReviewState::confirmed);
        PairContextEdit edit;
        edit.cornerDirection = CornerDirection::left;
        edit.comparability = std::map<PairFeature, ViewComparability>{{PairFeature::leftElbow, ViewComparability::comparable}};
        document = ReviewDecisions::setPairContext(document, "p1", edit);
        ReviewStore::save(document, documentPath, std::nullopt);
    }

    void saveChecklist(const std::string& observation, const std::string& expected = "none") {
        CoachingChecklistReview review(*document.frame("p1-subject"));
        review.provenance = "Coach <K>";
        review.items[0] = {CoachingTopic::grip, CoachingReviewStatus::focus, observation};
        ChecklistStore::save(ChecklistStore::path(documentPath), document.frames, review, expected);
    }

    test::ProcessResult report(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"review", "report", session.report.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return test::runCli(args);
    }
};

}  // namespace

TEST_F(SessionReportTest, ShowsEveryPairWithItsAnglesCoachingAndReasons) {
    saveChecklist("<script>alert(1)</script> & \"grip\"");
    const ReviewFrame& single = *document.frame("p2-subject");
    const SinglePhotoCoaching coaching{single.id, single.sourceHash, single.panel, "Coach K", {{"Eyes <up>", "Look ahead."}}};
    SinglePhotoCoachingStore::import(SinglePhotoCoachingStore::path(documentPath), document.frames,
                                     json::Value::array({json::encode(coaching)}).dump(), "none");
    auto r = report();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const fs::path page = r.out.substr(0, r.out.size() - 1);
    EXPECT_EQ(page.parent_path(), run);
    const std::string html = readText(page);
    EXPECT_EQ(page.filename().string(), "session-report-" + contentHash(html).substr(0, 12) + ".html");

    const struct {
        const char* what;
        std::string text;
    } expected[] = {
        {"picture of the run, relative", "href=\"p1-subject-2D.png\" width=\"370\" height=\"560\""},
        {"view box of the panel alone", "viewBox=\"0 0 60 40\""},
        {"subject elbow angle", "<td class=\"num\">90.0\u00b0</td>"},
        {"difference with its sign and unit", "\u2212" "90.0\u00b0"},
        {"feature not judged comparable", "Review whether these feature views are comparable."},
        {"missing joints named", "no reviewed position for left hip, left knee, left ankle"},
        {"coaching bullet", "Inside elbow: explore less bend"},
        {"no lean lines", "No wheel line drawn on this photo."},
        {"lean comparison unavailable", "Comparison unavailable: Review both wheel axes and their reference evidence"},
        {"unpaired photo", "No reference rider in this pair"},
        {"its single-photo coaching, escaped", "<li><b>Eyes &lt;up&gt;</b><br>Look ahead.</li>"},
        {"hidden joint", "hidden: right knee"},
        {"escaped observation", "&lt;script&gt;alert(1)&lt;/script&gt; &amp; &quot;grip&quot;"},
        {"photo without checklist", "No checklist saved for this photo"},
    };
    for (const auto& e : expected) EXPECT_NE(html.find(e.text), std::string::npos) << e.what;
    EXPECT_EQ(html.find("<script>"), std::string::npos);
}

TEST_F(SessionReportTest, NeverReplacesAFile) {
    auto first = report();
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(report().out, first.out) << "the same report is the file already there";
    EXPECT_EQ(reportsIn(run).size(), 1u);

    const fs::path old = first.out.substr(0, first.out.size() - 1);
    const std::string oldBytes = readText(old);
    saveChecklist("Relaxed wrists.");
    auto second = report();
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(readText(old), oldBytes);
    EXPECT_EQ(reportsIn(run).size(), 2u);

    // Something else under the report's name stays as it is.
    const fs::path squatted = second.out.substr(0, second.out.size() - 1);
    fs::remove(squatted);
    writeText(squatted, "mine");
    auto refused = report();
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("it was left as it is"), std::string::npos) << refused.err;
    EXPECT_EQ(readText(squatted), "mine");

    // --out: a new file only, with the pictures reached from where it lives.
    const fs::path out = temp.path() / "handout" / "report.html";
    fs::create_directories(out.parent_path());
    auto written = report({"--out", out.string()});
    ASSERT_EQ(written.exitCode, 0) << written.err;
    EXPECT_NE(readText(out).find("href=\"../session/run/p1-subject-2D.png\""), std::string::npos);
    const std::string outBytes = readText(out);
    auto again = report({"--out", out.string()});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.err, "The report was not written: " + out.string() + " already exists.\n");
    EXPECT_EQ(readText(out), outBytes);
}

TEST_F(SessionReportTest, RefusesAResultsFileWithoutSavedReview) {
    fs::remove(documentPath);
    auto r = report();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, std::string(SessionReport::noReviewMessage) + "\n");
    EXPECT_TRUE(reportsIn(run).empty());
}

TEST_F(SessionReportTest, AnUnreadableChecklistIsReportedNotFatal) {
    writeText(ChecklistStore::path(documentPath), "{}");
    auto r = report();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string html = readText(r.out.substr(0, r.out.size() - 1));
    EXPECT_NE(html.find("Checklist unavailable: "), std::string::npos);
}
