// The real detector on real photos (Debian's opencv-doc samples), and its failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "TestSupport.h"
#include "Torvane/ImageInput.h"
#include "Torvane/VisionPoseEstimator.h"
#include "Torvane/platform/FileSystem.h"
#include "Torvane/platform/PoseModels.h"

using namespace torvane;
using namespace torvane::test;
namespace fs = std::filesystem;

namespace {

// Joint positions read off messi5.jpg by eye (he faces the camera: his right arm reaches
// to the picture's left, his left leg stretches to the right). About 270 px tall. Shoulders
// are the joint centres, a little below the outline.
const std::map<std::string, Point2> messiJoints = {
    {"right_shoulder", {195, 128}}, {"right_elbow", {145, 115}}, {"right_wrist", {100, 100}},
    {"left_shoulder", {275, 128}},  {"left_elbow", {310, 145}},  {"left_wrist", {350, 160}},
    {"right_hip", {245, 245}},      {"right_knee", {230, 280}},  {"right_ankle", {285, 315}},
    {"left_hip", {285, 228}},       {"left_knee", {350, 250}},   {"left_ankle", {415, 260}},
};

// `tolerance` in shares of his height.
void expectMessiJoints(const PoseResult& r, double tolerance = 0.07) {
    for (const auto& [name, expected] : messiJoints) {
        const JointResult* j = r.joint(name);
        ASSERT_NE(j, nullptr) << name;
        EXPECT_LT(j->point.distance(expected), tolerance * 270) << name << " at " << j->point.x << "," << j->point.y;
        if (j->confidence2D) {
            EXPECT_GT(*j->confidence2D, 0.2) << name;
        }
    }
}

}  // namespace

TEST(PoseDetector, FindsMessisJointsOnTheRightSides) {
    ImageInput photo = ImageInput::load(test::samplePhoto("messi5.jpg"));
    // A crop that does not start at the corner, so that the mapping back is exercised.
    const PixelRect crop{40, 20, 480, 322};
    platform::Raster image = photo.cropped(crop);

    PoseResult twoD = VisionPoseEstimator::estimate2D(image, crop);
    ASSERT_EQ(twoD.status, "needsReview") << twoD.message.value_or("");
    expectMessiJoints(twoD);
    // neck and root are midpoints carrying the weaker score of their two sources
    const auto* neck = twoD.joint("neck");
    ASSERT_NE(neck, nullptr);
    EXPECT_NEAR(neck->point.x, (twoD.joint("left_shoulder")->point.x + twoD.joint("right_shoulder")->point.x) / 2, 1e-6);
    EXPECT_DOUBLE_EQ(*neck->confidence2D, std::min(*twoD.joint("left_shoulder")->confidence2D, *twoD.joint("right_shoulder")->confidence2D));

    PoseResult threeD = VisionPoseEstimator::estimate3D(image, crop);
    ASSERT_EQ(threeD.status, "needsReview") << threeD.message.value_or("");
    ASSERT_EQ(threeD.joints.size(), 17u);
    // BlazePose heavy puts his left ankle on the boot's sole, 21 px below the joint.
    expectMessiJoints(threeD, 0.08);
    EXPECT_EQ(threeD.heightEstimation, "reference");
    EXPECT_GT(*threeD.bodyHeight, 1.2);
    EXPECT_LT(*threeD.bodyHeight, 2.1);
    // Body axes: x to the picture's right, y up, z towards the camera.
    auto position = [&](const char* name) { return *threeD.joint(name)->position3D; };
    EXPECT_GT(position("left_wrist")[0], position("right_wrist")[0]);
    EXPECT_GT(position("top_head")[1], position("center_shoulder")[1]);
    EXPECT_GT(position("center_shoulder")[1], position("root")[1]);
    EXPECT_NEAR(position("root")[0], 0, 0.05);
    // The camera stands in front of him, a few metres away, looking at him.
    ASSERT_EQ(threeD.cameraOrigin->size(), 16u);
    const auto& m = *threeD.cameraOrigin;
    EXPECT_GT(m[14], 1.0);
    EXPECT_LT(m[10], -0.8);  // its viewing axis points along -z
    // The rotation is orthonormal, and the assumed pinhole camera (focal length = the crop's
    // longer side, centred on the crop) placed there projects each joint back onto its point.
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) {
            double dot = m[4 * a] * m[4 * b] + m[4 * a + 1] * m[4 * b + 1] + m[4 * a + 2] * m[4 * b + 2];
            EXPECT_NEAR(dot, a == b ? 1 : 0, 1e-3);
        }
    const double focal = std::max(crop.width, crop.height);
    for (const auto& j : threeD.joints) {
        const auto& p = *j.position3D;
        double d[3] = {p[0] - m[12], p[1] - m[13], p[2] - m[14]};
        double camera[3];
        for (int axis = 0; axis < 3; ++axis) camera[axis] = m[4 * axis] * d[0] + m[4 * axis + 1] * d[1] + m[4 * axis + 2] * d[2];
        Point2 projected{crop.x + crop.width / 2 + focal * camera[0] / camera[2], crop.y + crop.height / 2 + focal * camera[1] / camera[2]};
        EXPECT_LT(projected.distance(j.point), 0.08 * 270) << j.name;  // fit residuals reach 13 px
    }
}

// A missing, corrupt or truncated model file: every result is an "error" naming the file.
TEST(PoseDetector, BrokenModelFilesGiveErrorResults) {
    test::TempDir scratch;
    const fs::path& folder = scratch.path();
    const fs::path real = platform::defaultPoseModelFolder();
    // MoveNet: missing. Detector: not JSON. BlazePose heavy: weights cut short.
    platform::writeFileAtomically(folder / "blazepose-detector.json", "{\"modelTopology\": [1, 2");
    fs::copy_file(real / "blazepose-heavy.json", folder / "blazepose-heavy.json");
    platform::writeFileAtomically(folder / "blazepose-heavy.bin", platform::readFile(real / "blazepose-heavy.bin").substr(0, 1000));

    auto failure = [](const platform::PoseModels& models, platform::PoseModels::Network network) {
        return messageOf([&] { models.run(network, {}); });
    };
    platform::PoseModels broken = platform::PoseModels::load(folder);
    using Network = platform::PoseModels::Network;
    EXPECT_EQ(failure(broken, Network::moveNet), "Pose model file " + (folder / "movenet-thunder.json").string() + " is missing or unreadable.");
    EXPECT_EQ(failure(broken, Network::detector).rfind("Pose model file " + (folder / "blazepose-detector.json").string() + " is not a valid TF.js graph model", 0), 0u)
        << failure(broken, Network::detector);
    EXPECT_EQ(failure(broken, Network::landmarks).rfind("Pose model weights file " + (folder / "blazepose-heavy.bin").string() + " is truncated", 0), 0u)
        << failure(broken, Network::landmarks);

    const PixelRect crop{0, 0, 64, 64};
    platform::Raster image = platform::Raster::filled(64, 64, 10, 200, 10);
    for (const PoseResult& r : {VisionPoseEstimator::estimate2D(image, crop, broken), VisionPoseEstimator::estimate3D(image, crop, broken)}) {
        EXPECT_EQ(r.status, "error");
        EXPECT_EQ(r.message, failure(broken, Network::detector));  // the person detector runs first
    }
}

// The person detector places what it finds (the 3-D estimate still finds Messi when its
// boxes are 18 % off). basketball1.png shows two players: a small one at the left facing the
// camera, a large one at the right turned away, whose head alone is found.
TEST(PoseDetector, ThePersonDetectorFindsHeads) {
    ImageInput players = ImageInput::load(test::samplePhoto("basketball1.png"));
    auto heads = platform::PoseModels::shared().detectPeople(players.cropped({0, 0, 640, 480}));
    ASSERT_EQ(heads.size(), 1u);
    EXPECT_NEAR(heads[0].centerX, 570, 40);  // the back of the right player's head
    EXPECT_NEAR(heads[0].centerY, 100, 40);
}

// The right player of basketball1.png turns his back to the camera: his left shoulder and hip
// are on the picture's left. BlazePose alone takes him for someone facing the camera; the 3-D
// result follows MoveNet's sides.
TEST(PoseDetector, ThreeDSidesFollowTheTwoDSidesOfAPlayerSeenFromBehind) {
    ImageInput players = ImageInput::load(test::samplePhoto("basketball1.png"));
    const PixelRect right{425, 15, 215, 465};
    platform::Raster image = players.cropped(right);
    PoseResult twoD = VisionPoseEstimator::estimate2D(image, right);
    PoseResult threeD = VisionPoseEstimator::estimate3D(image, right);
    ASSERT_EQ(twoD.status, "needsReview");
    ASSERT_EQ(threeD.status, "needsReview");
    for (const PoseResult* r : {&twoD, &threeD})
        for (const char* joint : {"shoulder", "hip"}) {
            const std::string left = std::string("left_") + joint, rightJoint = std::string("right_") + joint;
            EXPECT_LT(r->joint(left)->point.x, r->joint(rightJoint)->point.x) << r->kind << " " << joint;
        }
}

// A person who fills the crop can leave MoveNet's centre heatmap without anyone who counts;
// MoveNet then looks at the square zoomed out. Cut to the right player's head and chest, he
// is found that way (without, the crop has no pose: the outcomes table's "zoomed out" row),
// with his shoulders seen where a crop with room around him puts them (within 7 % of his
// 440 px).
TEST(PoseDetector, APersonFillingTheCropIsFoundByZoomingOut) {
    ImageInput players = ImageInput::load(test::samplePhoto("basketball1.png"));
    const PixelRect roomy{425, 15, 215, 465}, tight{420, 20, 220, 260};
    // The runs decide how many turns BlazePose gets.
    const auto& models = platform::PoseModels::shared();
    EXPECT_EQ(models.moveNet(players.cropped(roomy)).runs, 2);
    EXPECT_EQ(models.moveNet(players.cropped(tight)).runs, 3);
    PoseResult reference = VisionPoseEstimator::estimate2D(players.cropped(roomy), roomy);
    PoseResult filled = VisionPoseEstimator::estimate2D(players.cropped(tight), tight);
    ASSERT_EQ(reference.status, "needsReview");
    ASSERT_EQ(filled.status, "needsReview");
    for (const char* name : {"left_shoulder", "right_shoulder"}) {
        const JointResult* seen = filled.joint(name);
        ASSERT_NE(seen, nullptr) << name;
        EXPECT_GE(*seen->confidence2D, 0.2) << name;
        EXPECT_LT(seen->point.distance(reference.joint(name)->point), 30) << name;
    }
}

// What the detectors make of each photo (MoveNet counts bodies: two players are ambiguous in
// 2-D, the 3-D result takes the first), and both estimates at once (as the runner, retries
// and `torvane detect` make them) sharing the detectors' first look answer exactly as the
// two calls apart, failures included.
TEST(PoseDetector, OutcomesOnRealPhotosAndBothEstimatesAtOnce) {
    test::TempDir scratch;
    const fs::path real = platform::defaultPoseModelFolder();
    for (const char* file : {"blazepose-detector.json", "blazepose-detector.bin", "blazepose-heavy.json", "blazepose-heavy.bin"})
        fs::create_symlink(real / file, scratch.path() / file);
    const platform::PoseModels noMoveNet = platform::PoseModels::load(scratch.path());
    const auto& models = platform::PoseModels::shared();

    ImageInput messi = ImageInput::load(test::samplePhoto("messi5.jpg"));
    ImageInput players = ImageInput::load(test::samplePhoto("basketball1.png"));
    ImageInput crowd = ImageInput::load(test::samplePhoto("person_multi_det.jpg"));
    const PixelRect all{0, 0, static_cast<double>(crowd.width()), static_cast<double>(crowd.height())};
    // Small people far off: equalised, MoveNet counts nobody here; the crop as it is shows one.
    const PixelRect distant{73, 146, 124, 124};
    ASSERT_EQ(models.moveNet(crowd.cropped(distant), true).people, 0);
    ASSERT_EQ(models.moveNet(crowd.cropped(distant), false).people, 1);
    struct Case {
        const char* name;
        platform::Raster image;
        PixelRect crop;
        const platform::PoseModels& models;
        std::string status2D, status3D;
        std::int64_t candidates2D, candidates3D;
    };
    const Case cases[] = {
        {"one person", messi.cropped({40, 20, 480, 322}), {40, 20, 480, 322}, models, "needsReview", "needsReview", 1, 1},
        {"two players", players.cropped({0, 0, 640, 480}), {0, 0, 640, 480}, models, "ambiguous", "needsReview", 2, 2},
        {"the left player alone", players.cropped({0, 0, 300, 480}), {0, 0, 300, 480}, models, "needsReview", "needsReview", 1, 1},
        {"zoomed out", players.cropped({420, 20, 220, 260}), {420, 20, 220, 260}, models, "needsReview", "needsReview", 1, 1},
        {"a crowd", crowd.cropped(all), all, models, "ambiguous", "needsReview", 2, 2},
        {"someone only the crop as it is shows", crowd.cropped(distant), distant, models, "needsReview", "needsReview", 1, 1},
        {"nobody", platform::Raster::filled(200, 150, 128, 128, 128), {0, 0, 200, 150}, models, "noPose", "noPose", 0, 0},
        {"a pixel", platform::Raster::filled(1, 1, 128, 128, 128), {0, 0, 1, 1}, models, "noPose", "noPose", 0, 0},
        {"a strip", platform::Raster::filled(640, 4, 128, 128, 128), {0, 0, 640, 4}, models, "error", "error", 0, 0},
        {"one person without MoveNet", messi.cropped({40, 20, 480, 322}), {40, 20, 480, 322}, noMoveNet, "error", "error", 0, 0},
    };
    // Whole results, all but the time taken.
    auto timeless = [](PoseResult r) {
        r.durationSeconds = 0;
        return r;
    };
    for (const auto& c : cases) {
        auto [twoD, threeD] = VisionPoseEstimator::estimateBoth(c.image, c.crop, c.models);
        const PoseResult apart[] = {VisionPoseEstimator::estimate2D(c.image, c.crop, c.models),
                                    VisionPoseEstimator::estimate3D(c.image, c.crop, c.models)};
        EXPECT_EQ(apart[0].status, c.status2D) << c.name;
        EXPECT_EQ(apart[1].status, c.status3D) << c.name;
        EXPECT_EQ(apart[0].candidateCount, c.candidates2D) << c.name;
        EXPECT_EQ(apart[1].candidateCount, c.candidates3D) << c.name;
        EXPECT_EQ(timeless(twoD), timeless(apart[0])) << c.name;
        EXPECT_EQ(timeless(threeD), timeless(apart[1])) << c.name;
    }
}
