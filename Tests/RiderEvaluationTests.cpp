// Scoring the estimator against hand-annotated rider photos, and the evaluate command.
#include <gtest/gtest.h>


#include "TestSupport.h"
#include "Torvane/Json.h"
#include "Torvane/RiderEvaluation.h"
#include "Torvane/platform/Raster.h"

using namespace torvane;
using namespace torvane::test;

namespace {

// A rider of size 100 in a crop at (10, 20): both shoulders, the left knee and both
// hips annotated; everything else hidden.
RiderAnnotation rider() {
    RiderAnnotation a;
    a.crop = {10, 20, 200, 160};
    a.height = 100;
    a.joints["left_shoulder"] = Point2{50, 50};
    a.joints["right_shoulder"] = Point2{100, 50};
    a.joints["left_knee"] = Point2{60, 150};
    a.joints["right_knee"] = std::nullopt;
    a.joints["left_hip"] = Point2{60, 100};
    a.joints["right_hip"] = Point2{90, 100};
    return a;
}

JointResult joint(const std::string& name, double x, double y, std::optional<double> confidence = 0.9) {
    JointResult j;
    j.name = name;
    j.point = {x, y};
    j.confidence2D = confidence;
    return j;
}

PoseResult pose(std::vector<JointResult> joints, std::string_view status = PoseStatus::needsReview) {
    PoseResult p;
    p.kind = std::string(PoseKind::twoD);
    p.status = std::string(status);
    if (status == PoseStatus::needsReview) p.joints = std::move(joints);
    return p;
}

}  // namespace

TEST(RiderEvaluation, ScoresJointsAgainstTheAnnotation) {
    struct Case {
        const char* what;
        PoseResult pose;
        std::int64_t within, swaps, shown;
        std::optional<double> median;
    };
    const Case cases[] = {
        {"exact points; a 3-D joint has no confidence, so a hidden one is shown",
         pose({joint("left_shoulder", 50, 50), joint("right_shoulder", 100, 50), joint("left_knee", 60, 150),
               joint("left_hip", 60, 100), joint("right_hip", 90, 100), joint("right_knee", 10, 10, std::nullopt)}),
         5, 0, 1, 0.0},
        {"exactly the tolerance counts, a little more does not",
         pose({joint("left_shoulder", 50, 60), joint("right_shoulder", 100, 60.5), joint("left_knee", 60, 150),
               joint("left_hip", 60, 100), joint("right_hip", 90, 100)}),
         4, 0, 0, 0.0},
        {"shoulders and hips on each other's points are swaps",
         pose({joint("left_shoulder", 100, 50), joint("right_shoulder", 50, 52), joint("left_knee", 60, 150),
               joint("left_hip", 90, 100), joint("right_hip", 60, 100)}),
         1, 4, 0, 30.0},
        {"joints below the display threshold are neither shown nor found; missing joints count as far off",
         pose({joint("left_shoulder", 50, 50), joint("left_knee", 60, 150, 0.19), joint("right_knee", 0, 0, 0.19),
               joint("right_wrist", 0, 0, 0.2)}),
         1, 0, 1, std::nullopt},
        {"no pose: nothing found, nothing shown", pose({joint("right_knee", 0, 0)}, PoseStatus::ambiguous), 0, 0, 0,
         std::nullopt},
    };
    for (const auto& c : cases) {
        auto e = RiderEvaluation::score("p.jpg", rider(), c.pose);
        EXPECT_EQ(e.visibleJoints, 5) << c.what;
        EXPECT_EQ(e.hiddenJoints, 7) << c.what;  // the 12 key joints less the 5 annotated
        EXPECT_EQ(e.jointsWithin, c.within) << c.what;
        EXPECT_EQ(e.sideSwaps, c.swaps) << c.what;
        EXPECT_EQ(e.hiddenShown, c.shown) << c.what;
        ASSERT_EQ(e.medianError.has_value(), c.median.has_value()) << c.what;
        if (c.median) {
            EXPECT_NEAR(*e.medianError, *c.median, 1e-9) << c.what;
        }
    }
}

TEST(RiderEvaluation, TotalsPoolEveryJointForTheMedian) {
    auto a = RiderEvaluation::score("a.jpg", rider(),
                                    pose({joint("left_shoulder", 50, 53), joint("right_shoulder", 100, 53),
                                          joint("left_knee", 60, 153), joint("left_hip", 60, 103), joint("right_hip", 90, 103)}));
    auto b = RiderEvaluation::score("b.jpg", rider(), pose({}, PoseStatus::noPose));
    auto total = RiderEvaluation::total("2D", {a, b});
    EXPECT_EQ(total.photos, 2);
    EXPECT_EQ(total.proposals, 1);
    EXPECT_EQ(total.visibleJoints, 10);
    EXPECT_EQ(total.jointsWithin, 5);
    // Five errors of 3% and five missing joints: the median lies between the two.
    EXPECT_FALSE(total.medianError.has_value());
    auto withC = RiderEvaluation::total("2D", {a, a, b});
    ASSERT_TRUE(withC.medianError.has_value());
    EXPECT_NEAR(*withC.medianError, 3.0, 1e-9);
}

TEST(RiderEvaluation, RefusesAnnotationsItCannotScore) {
    struct Case {
        const char* json;
        const char* message;
    };
    const Case cases[] = {
        {R"({"a.jpg": {"crop": {"x": 0.5, "y": 0, "width": 10, "height": 10}, "height": 5, "joints": {}}})",
         "The crop of a.jpg is not whole pixels inside the photo."},
        {R"({"b.jpg": {"crop": {"x": 0, "y": 0, "width": 10, "height": 10}, "height": 0, "joints": {}}})",
         "The rider size of b.jpg must be a positive number of pixels."},
        {R"({"c.jpg": {"crop": {"x": 0, "y": 0, "width": 10, "height": 10}, "height": 5, "joints": {"left_toe": null}}})",
         "The annotation of c.jpg has an unknown joint left_toe."},
    };
    for (const auto& c : cases) EXPECT_EQ(messageOf([&] { RiderEvaluation::parse(json::parse(c.json)); }), c.message);
}

TEST(RiderEvaluation, RunsTheEstimatorOnEachCropOfRealPhotos) {
    test::TempDir folder;
    test::writePhoto(folder / "b.jpg", 240, 200);
    test::writePhoto(folder / "a.png", 240, 200);
    std::map<std::string, RiderAnnotation> annotations{{"a.png", rider()}, {"b.jpg", rider()}};
    annotations["b.jpg"].crop = {0, 0, 240, 200};

    std::vector<std::pair<int, int>> sizes;
    PoseEstimates scripted;
    scripted.estimate2D = [&](const platform::Raster& image, const PixelRect& crop) {
        sizes.emplace_back(image.width(), image.height());
        // The left shoulder where annotated, at the crop's own corner otherwise.
        return pose({joint("left_shoulder", crop.x + 40, crop.y + 30)});
    };
    scripted.estimate3D = [](const platform::Raster&, const PixelRect&) { return pose({}, PoseStatus::noPose); };
    const auto pictures = folder / "pictures";
    std::filesystem::create_directory(pictures);
    auto report = RiderEvaluation::run(annotations, folder.path(), "2D", pictures, scripted);
    EXPECT_EQ(sizes, (std::vector<std::pair<int, int>>{{200, 160}, {240, 200}}));  // in name order
    ASSERT_EQ(report.perPhoto.size(), 2u);
    EXPECT_EQ(report.perPhoto[0].jointsWithin, 1);  // (50, 50) in the a.png crop at (10, 20)
    EXPECT_EQ(report.perPhoto[1].jointsWithin, 0);
    for (const char* name : {"a.png-2D.png", "b.jpg-2D.png"}) EXPECT_TRUE(platform::readImageHeader(pictures / name)) << name;

    annotations["c.jpg"] = rider();
    const Refusal missing = refusalOf([&] { RiderEvaluation::run(annotations, folder.path(), "3D", std::nullopt, scripted); });
    EXPECT_EQ(missing.code, "unreadableImage");
    EXPECT_TRUE(contains(missing.message, "Cannot read the annotated photo c.jpg in ")) << missing;
}
