// Which point the review shows and lets analysis use, and the rules of joint edits.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "TestSupport.h"
#include "Torvane/ReviewDocument.h"

using namespace torvane;
using namespace torvane::test;

namespace {

PoseResult result(const std::string& kind, const std::string& status, std::vector<JointResult> joints,
                  std::int64_t candidates = 1) {
    PoseResult r;
    r.kind = kind;
    r.status = status;
    r.candidateCount = candidates;
    r.joints = std::move(joints);
    return r;
}

JointResult joint2D(const std::string& name, Point2 p, double confidence) {
    return {name, p, std::nullopt, confidence, std::nullopt};
}

ReviewFrame frame(std::optional<PoseResult> raw2D = std::nullopt, std::optional<PoseResult> raw3D = std::nullopt) {
    return ReviewFrame("p1-subject", "p1", "subject", "Ana", "a.jpg", "h", {100, 200, 300, 400}, raw3D, raw2D);
}

const std::string invalid = ReviewFrame::invalidJointMessage;

}  // namespace

TEST(ReviewFrame, ProposalsNeedConfidenceStatusAndAPointInsideThePanel) {
    auto f = frame(result("2D", "needsReview",
                          {joint2D("left_knee", {150, 250}, 0.2), joint2D("right_knee", {150, 250}, 0.19999),
                           joint2D("left_hip", {400, 250}, 0.9), joint2D("right_hip", {150, 600}, 0.9),
                           joint2D("nose", {100, 200}, std::nan(""))}),
                   result("3D", "needsReview", {{"left_knee", {160, 260}, std::vector<double>{0, 0, 0}, std::nullopt, "root"}}));
    EXPECT_EQ(f.rawPoint("left_knee", "2D"), (Point2{150, 250}));
    EXPECT_FALSE(f.rawPoint("right_knee", "2D"));
    EXPECT_FALSE(f.rawPoint("left_hip", "2D")) << "right edge is outside";
    EXPECT_FALSE(f.rawPoint("right_hip", "2D")) << "bottom edge is outside";
    EXPECT_FALSE(f.rawPoint("nose", "2D")) << "NaN confidence";
    EXPECT_FALSE(f.rawPoint("spine", "2D"));
    EXPECT_EQ(f.rawPoint("left_knee", "3D"), (Point2{160, 260})) << "3-D joints count as certain";
    EXPECT_EQ(f.rawPoint("left_knee", "anything"), (Point2{160, 260}));

    for (const char* status : {"ambiguous", "noPose", "error"}) {
        auto g = frame(result("2D", status, {joint2D("left_knee", {150, 250}, 0.9)}));
        EXPECT_FALSE(g.rawPoint("left_knee", "2D")) << status;
        EXPECT_FALSE(g.seedPoint("left_knee", "2D")) << status;
    }

    EXPECT_TRUE(f.contains({100, 200}));
    EXPECT_FALSE(f.contains({400, 300}));
    EXPECT_FALSE(f.contains({std::numeric_limits<double>::infinity(), 300}));
}

TEST(ReviewFrame, SeedComesFromTheNewestQualifyingRetry) {
    auto f = frame(result("2D", "ambiguous", {joint2D("left_knee", {110, 210}, 0.9)}));
    EXPECT_EQ(f.seedPose("2D")->status, "ambiguous") << "without retries the raw result is the seed, whatever its status";
    EXPECT_FALSE(f.seedPoint("left_knee", "2D"));

    auto retry = [](std::optional<PoseResult> twoD) { return DetectionRetry({100, 200, 50, 50}, twoD, std::nullopt); };
    f.addRetry(retry(result("2D", "needsReview", {joint2D("left_knee", {120, 220}, 0.9)})));
    f.addRetry(retry(result("2D", "needsReview", {joint2D("left_knee", {130, 230}, 0.9)})));
    EXPECT_EQ(f.seedPoint("left_knee", "2D"), (Point2{130, 230}));

    f.addRetry(retry(result("2D", "needsReview", {joint2D("left_knee", {140, 240}, 0.9)}, 2)));
    f.addRetry(retry(result("2D", "needsReview", {})));
    f.addRetry(retry(std::nullopt));
    EXPECT_EQ(f.seedPoint("left_knee", "2D"), (Point2{130, 230})) << "two candidates, no joints or no result are skipped";
    EXPECT_EQ(f.seedPose("3D"), std::nullopt) << "no 3-D result anywhere";
}

TEST(ReviewFrame, SetJointEnforcesTheRulesAndRecordsChanges) {
    auto f = frame(result("2D", "needsReview", {joint2D("left_knee", {150, 250}, 0.9)}));
    f.setJoint("left_knee", std::nullopt, JointReviewState::occluded);
    EXPECT_EQ(messageOf([&] { f.setJoint("left_knee", Point2{150, 250}, JointReviewState::occluded); }), invalid);
    EXPECT_EQ(messageOf([&] { f.setJoint("left_knee", std::nullopt, JointReviewState::confirmed); }), invalid);
    EXPECT_EQ(messageOf([&] { f.setJoint("knee", Point2{150, 250}, JointReviewState::confirmed); }), invalid);
    EXPECT_EQ(messageOf([&] { f.setJoint("left_knee", Point2{400, 250}, JointReviewState::corrected); }), invalid);
    EXPECT_EQ(f.history.size(), 1u) << "failed calls change nothing";
    EXPECT_FALSE(f.displayPoint("left_knee", "2D")) << "obscured hides the detector's proposal";

    f.setJoint("left_knee", Point2{160, 260}, JointReviewState::corrected);
    f.setJoint("left_knee", Point2{160, 260}, JointReviewState::corrected);
    ASSERT_EQ(f.history.size(), 2u) << "an unchanged edit adds no history";
    EXPECT_EQ(f.history[1].before, (JointEdit{std::nullopt, JointReviewState::occluded}));
    EXPECT_EQ(f.history[1].action, "review");
    EXPECT_EQ(f.reviewedPoint("left_knee"), (Point2{160, 260}));

    f.setJoint("left_knee", Point2{170, 270}, JointReviewState::uncertain);
    EXPECT_EQ(f.displayPoint("left_knee", "2D"), (Point2{170, 270}));
    EXPECT_FALSE(f.reviewedPoint("left_knee")) << "uncertain joints never reach analysis";
    EXPECT_FALSE(f.reviewedPoint("right_knee"));
    EXPECT_EQ(f.displayPoint("right_knee", "2D"), std::nullopt);

    // Restoring (what an undo does) is ReviewEditing's test.
    f.restore("left_knee", std::nullopt);
    EXPECT_EQ(f.displayPoint("left_knee", "2D"), (Point2{150, 250})) << "back to the proposal";
}

TEST(ReviewFrame, CanvasCoordinatesRoundTrip) {
    PixelRect panel{100, 200, 300, 400};
    Point2 p{123.25, 456.5};
    Point2 canvas = ReviewCoordinates::display(p, panel, 2.5);
    EXPECT_DOUBLE_EQ(canvas.x, 58.125);
    EXPECT_DOUBLE_EQ(canvas.y, 641.25);
    Point2 back = ReviewCoordinates::source(canvas, panel, 2.5);
    EXPECT_NEAR(back.x, p.x, 1e-9);
    EXPECT_NEAR(back.y, p.y, 1e-9);
}
