// The estimator's result assembly, driven by scripted detector runs.
#include <gtest/gtest.h>

#include <cmath>

#include "TestSupport.h"
#include "Torvane/ImageInput.h"
#include "Torvane/VisionPoseEstimator.h"
#include "Torvane/platform/PoseModels.h"

using namespace torvane;
using namespace torvane::test;
using namespace torvane::platform;

namespace {

const PixelRect crop{100, 200, 400, 800};

// The detector analyses the crop at half its size.
constexpr int analysedWidth = 200, analysedHeight = 400;

Observation2D observation2D(float confidence) {
    Observation2D o;
    for (auto name : jointNames2D) o.joints[std::string(name)] = {100, 200, confidence};
    return o;
}

Observation3D observation3D() {
    Observation3D o;
    int i = 0;
    for (auto name : jointNames3D) {
        RecognizedPoint3D p;
        p.position = {static_cast<double>(i), i / 2.0, -1};
        p.imageX = 100;
        p.imageY = 300;
        p.parent = "root";
        o.joints[std::string(name)] = p;
        ++i;
    }
    o.bodyHeight = 1.75f;
    return o;
}

PoseResult script2D(int people, std::optional<Observation2D> pose, std::int64_t revision = 1) {
    return VisionPoseEstimator::assemble2D(crop, [&] {
        DetectorRun2D run;
        run.revision = revision;
        run.imageWidth = analysedWidth;
        run.imageHeight = analysedHeight;
        run.people = people;
        run.pose = pose;
        return run;
    });
}

PoseResult script3D(int people, std::optional<Observation3D> pose) {
    return VisionPoseEstimator::assemble3D(crop, [&] {
        DetectorRun3D run;
        run.imageWidth = analysedWidth;
        run.imageHeight = analysedHeight;
        run.people = people;
        run.pose = pose;
        return run;
    });
}

}  // namespace

TEST(PoseEstimator2D, KeepsOnlyJointsAboveZeroInTableOrder) {
    Observation2D o = observation2D(0.0f);
    o.joints["right_shoulder"].confidence = 0.4f;
    o.joints["left_shoulder"].confidence = 0.9f;
    o.joints["nose"].confidence = std::nanf("");
    PoseResult r = script2D(1, o);
    EXPECT_EQ(r.status, "needsReview");
    EXPECT_EQ(r.candidateCount, 1);
    ASSERT_EQ(r.joints.size(), 2u);
    EXPECT_EQ(r.joints[0].name, "left_shoulder");
    EXPECT_EQ(r.joints[1].name, "right_shoulder");
    EXPECT_DOUBLE_EQ(*r.joints[0].confidence2D, static_cast<double>(0.9f));
}

TEST(PoseEstimator2D, MapsPointsOfTheAnalysedImageIntoTheCrop) {
    Observation2D o = observation2D(0.5f);
    o.joints["root"] = {50, 100, 0.5f};
    PoseResult r = script2D(1, o, 3);
    ASSERT_EQ(r.joints.size(), 15u);
    EXPECT_EQ(r.joints[0].name, "root");
    EXPECT_EQ(r.joints[0].point, (Point2{200, 400}));
    EXPECT_EQ(r.requestRevision, 3);  // as the detector reports it
}

// Several people are ambiguous, nobody is no pose; a detector or joint failure is an error.
// None of them carries joints or a candidate of its own.
TEST(PoseEstimator2D, OutcomesWithoutAPose) {
    Observation2D partial = observation2D(0.8f);
    partial.joints.erase("left_knee");  // the 11th question fails
    struct Case {
        const char* what;
        PoseResult result;
        std::string status;
        std::int64_t candidates;
        std::optional<std::string> message;
    };
    const Case cases[] = {
        {"two people", script2D(2, std::nullopt), "ambiguous", 2, "Multiple 2D candidates; tighten the selected rider crop."},
        {"nobody", script2D(0, std::nullopt), "noPose", 0, std::nullopt},
        {"somebody too faint to describe", script2D(1, std::nullopt), "noPose", 0, std::nullopt},
        {"a failing detector",
         VisionPoseEstimator::assemble2D(crop, []() -> DetectorRun2D { throw DetectorError("Model file x is missing."); }),
         "error", 0, "Model file x is missing."},
        {"a joint it cannot name", script2D(1, partial), "error", 0, "The 2D detector has no joint named left_knee."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.result.status, c.status);
        EXPECT_EQ(c.result.candidateCount, c.candidates);
        EXPECT_EQ(c.result.message, c.message);
        EXPECT_TRUE(c.result.joints.empty());
        EXPECT_EQ(c.result.requestRevision, 1);
    }
}

TEST(PoseEstimator3D, UsesTheFirstOfSeveralPeopleWithEveryJoint) {
    Observation3D first = observation3D();
    first.cameraOrigin = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 5, 6, 7, 1};
    first.heightMeasured = true;
    first.joints["spine"].parent = "Pelvis";  // outside the table
    first.joints["root"].parent.reset();
    PoseResult r = script3D(2, first);
    EXPECT_EQ(r.kind, "3D");
    EXPECT_EQ(r.status, "needsReview");
    EXPECT_EQ(r.candidateCount, 2);
    ASSERT_EQ(r.joints.size(), 17u);
    for (std::size_t i = 0; i < 17; ++i) EXPECT_EQ(r.joints[i].name, jointNames3D[i]);
    EXPECT_EQ(r.joints[3].position3D, (std::vector<double>{3, 1.5, -1}));
    EXPECT_EQ(r.joints[3].point, (Point2{300, 800}));
    EXPECT_FALSE(r.joints[3].confidence2D);
    EXPECT_EQ(r.joints[3].parent, "root");
    EXPECT_FALSE(r.joints[0].parent);
    EXPECT_EQ(r.cameraOrigin, (std::vector<double>{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 5, 6, 7, 1}));
    EXPECT_DOUBLE_EQ(*r.bodyHeight, static_cast<double>(1.75f));
    EXPECT_EQ(r.heightEstimation, "measured");
}

TEST(PoseEstimator3D, NoPoseAndFailures) {
    PoseResult none = script3D(0, std::nullopt);
    EXPECT_EQ(none.status, "noPose");
    EXPECT_EQ(none.candidateCount, 0);
    EXPECT_FALSE(none.bodyHeight);
    EXPECT_FALSE(none.heightEstimation);

    Observation3D o = observation3D();
    o.joints.erase("right_elbow");  // the 10th joint
    PoseResult failed = script3D(1, o);
    EXPECT_EQ(failed.status, "error");
    EXPECT_EQ(failed.message, "The 3D detector has no joint named right_elbow.");
    EXPECT_TRUE(failed.joints.empty());
    EXPECT_EQ(script3D(1, observation3D()).heightEstimation, "reference");

    // Joints without the size of the image they are in cannot be placed.
    PoseResult unsized = VisionPoseEstimator::assemble3D(crop, [] {
        DetectorRun3D run;
        run.people = 1;
        run.pose = observation3D();
        return run;
    });
    EXPECT_EQ(unsized.status, "error");
    EXPECT_EQ(unsized.message, "The pose detector did not report the size of the analysed image.");
}

// BlazePose is placed by MoveNet's view of the crop as it is (BlazePose's own input is not
// equalised): that view must find the body where the equalised one does, on the same sides.
TEST(PoseEstimator3D, MoveNetsPlainViewFindsTheBodyTheEqualisedViewFinds) {
    const auto& models = PoseModels::shared();
    ImageInput photo = ImageInput::load(samplePhoto("messi5.jpg"));
    const Raster image = photo.cropped({40, 20, 480, 322});
    const MoveNetPose equalised = models.moveNet(image), plain = models.moveNet(image, false);
    for (int k = leftShoulder; k <= 16; ++k) {
        const ScoredPoint &a = equalised.keypoints[static_cast<std::size_t>(k)], &b = plain.keypoints[static_cast<std::size_t>(k)];
        EXPECT_LT(std::hypot(a.x - b.x, a.y - b.y), 0.05 * 480) << cocoKeypoints[static_cast<std::size_t>(k)];
        EXPECT_GT(b.score, 0.2) << cocoKeypoints[static_cast<std::size_t>(k)];
    }
    EXPECT_NE(plain.keypoints[nose].score, equalised.keypoints[nose].score);  // two views, not one
    EXPECT_GT(plain.keypoints[leftShoulder].x, plain.keypoints[rightShoulder].x);  // he faces the camera
}
