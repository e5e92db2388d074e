// One-step edits of saved reviews: joint names as people write them, what an undo takes
// back, and `review set-joint/restore --save` on real files.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/ReviewEditing.h"

using namespace torvane;
using namespace torvane::test;

namespace {

TEST(ReviewEditing, JointNamesAsWrittenOnThePictures) {
    const std::vector<std::pair<std::string, std::string>> table = {
        {"right_shoulder", "right_shoulder"}, {"right shoulder", "right_shoulder"}, {"Right Shoulder", "right_shoulder"},
        {"9", "right_shoulder"},              {"1", "root"},                        {"19", "nose"},
        {"center head", "center_head"},
    };
    for (const auto& [text, name] : table) EXPECT_EQ(ReviewEditing::jointName(text), name) << text;
    for (const std::string bad : {"knee", "0", "20", "", "right  shoulder", "09x"}) {
        const std::string message = messageOf([&] { ReviewEditing::jointName(bad); });
        EXPECT_EQ(message.rfind("Unknown joint \"" + bad + "\". Joints by number and name: 1 root, 2 spine,", 0), 0u)
            << message;
        EXPECT_NE(message.find("19 nose."), std::string::npos);
    }
}

TEST(ReviewEditing, UndoTakesBackTheLatestUncancelledChange) {
    ReviewFrame frame("p-subject", "p", "subject", "Ana", "a.png", "h", {0, 0, 100, 100}, std::nullopt,
                      pose("2D", 10, 10));
    EXPECT_FALSE(ReviewEditing::undoable(frame));
    EXPECT_EQ(messageOf([&] { ReviewEditing::undo(frame); }), ReviewEditing::nothingToUndoMessage);

    frame.setJoint("left_knee", Point2{1, 1}, JointReviewState::corrected);
    frame.setJoint("left_knee", Point2{2, 2}, JointReviewState::corrected);
    frame.setJoint("right_knee", std::nullopt, JointReviewState::occluded);
    struct Step {
        std::string joint;
        std::optional<JointEdit> after;  // the joint's edit once undone
    };
    const std::vector<Step> steps = {
        {"right_knee", std::nullopt},
        {"left_knee", JointEdit{Point2{1, 1}, JointReviewState::corrected}},
        {"left_knee", std::nullopt},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(ReviewEditing::undo(frame).joint, step.joint);
        auto it = frame.edits.find(step.joint);
        EXPECT_EQ(it == frame.edits.end() ? std::nullopt : std::optional(it->second), step.after) << step.joint;
    }
    EXPECT_FALSE(ReviewEditing::undoable(frame));
    EXPECT_EQ(frame.history.size(), 6u);

    // A new decision after undos is the next thing an undo takes back.
    frame.setJoint("left_hip", std::nullopt, JointReviewState::uncertain);
    EXPECT_EQ(ReviewEditing::undoable(frame)->joint, "left_hip");
}

TEST(ReviewEditing, ConfirmingWithoutAPointTakesTheDisplayedOne) {
    ReviewFrame frame("p-subject", "p", "subject", "Ana", "a.png", "h", {0, 0, 100, 100}, pose("3D", 40, 40),
                      pose("2D", 10, 10));
    ReviewEditing::decide(frame, "left_knee", std::nullopt, JointReviewState::confirmed);
    EXPECT_EQ(frame.edits.at("left_knee").point, (Point2{10, 10}));
    ReviewEditing::decide(frame, "right_knee", std::nullopt, JointReviewState::confirmed, "3D");
    EXPECT_EQ(frame.edits.at("right_knee").point, (Point2{45, 40}));
    // Nothing is displayed for a joint the detector does not place: there is nothing to confirm.
    EXPECT_EQ(messageOf([&] { ReviewEditing::decide(frame, "nose", std::nullopt, JointReviewState::confirmed); }),
              ReviewFrame::invalidJointMessage);
}

}  // namespace
