#include <gtest/gtest.h>

#include <cmath>

#include "TestSupport.h"
#include "Torvane/InspectionRenderer.h"

using namespace torvane;
using namespace torvane::test;

namespace {

const int backgroundGrey = 18;  // 0.07 of 255

JointResult joint2D(const std::string& name, double x, double y, double confidence) {
    JointResult j;
    j.name = name;
    j.point = {x, y};
    j.confidence2D = confidence;
    return j;
}

JointResult joint3D(const std::string& name, double x, double y) {
    JointResult j;
    j.name = name;
    j.point = {x, y};
    j.position3D = std::vector<double>{0, 0, 0};
    return j;
}

PoseResult result(const std::string& kind, std::vector<JointResult> joints) {
    PoseResult r;
    r.kind = kind;
    r.status = "needsReview";
    r.joints = std::move(joints);
    return r;
}

// Draws through the real PNG file and decodes it again.
platform::Raster render(const test::TempDir& folder, const platform::Raster& photo, const PixelRect& panel,
                        const PixelRect& crop, const PoseResult& pose, const std::vector<Landmark>& annotations = {}) {
    auto file = folder / "picture.png";
    InspectionRenderer::write(photo, panel, crop, pose, annotations, file);
    return platform::decodeUpright(file);
}

const std::vector<int> grey{128, 128, 128}, cyan{0, 255, 255};

struct Renderer : ::testing::Test {
    test::TempDir folder;
    const platform::Raster photo = plainPhoto(400, 300, 128);

    platform::Raster draw(const PixelRect& panel, const PixelRect& crop, const PoseResult& pose,
                          const std::vector<Landmark>& annotations = {}) {
        return render(folder, photo, panel, crop, pose, annotations);
    }
};

bool isBackground(const std::vector<int>& c) {
    return std::abs(c[0] - backgroundGrey) <= 1 && c[0] == c[1] && c[1] == c[2];
}

}  // namespace

TEST(RendererOutput, CanvasIsPanelPlusLegendAndPhotoStaysUnalteredOutsideMarks) {
    test::TempDir folder;
    const auto photo = patternPhoto(400, 300);
    const PixelRect panel{100, 50, 400, 300}, crop{150, 100, 200, 150};  // picture (50, 50, 200, 150)
    const auto png = render(folder, photo, panel, crop, result("3D", {}));
    ASSERT_EQ(png.width(), 710);
    ASSERT_EQ(png.height(), 560);

    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 400; ++x) {
            const bool nearCropEdge = x >= 48 && x <= 251 && y >= 48 && y <= 201 && !(x >= 52 && x <= 247 && y >= 52 && y <= 197);
            if (nearCropEdge) continue;
            ASSERT_EQ(rgbAt(png, x, y), rgbAt(photo, x, y)) << "at " << x << "," << y;
        }

    // A panel taller than the legend sets the canvas height.
    const auto tall = render(folder, plainPhoto(1000, 800, 90), {0, 0, 1000, 800}, {0, 0, 10, 10}, result("2D", {}));
    EXPECT_EQ(tall.width(), 1310);
    EXPECT_EQ(tall.height(), 800);
}

TEST_F(Renderer, CropRectangleIsAYellowLineCutAtThePicture) {
    // Crop (120, 70, 100, 500) in a panel at (100, 50): picture (20, 20, 100, 500), bottom cut off.
    const auto png = draw({100, 50, 400, 300}, {120, 70, 100, 500}, result("3D", {}));
    auto yellowish = [](const std::vector<int>& c) { return c[0] > c[2] + 40 && c[1] > c[2] + 40; };
    EXPECT_TRUE(yellowish(rgbAt(png, 60, 19)));
    EXPECT_TRUE(yellowish(rgbAt(png, 19, 200)));
    EXPECT_EQ(rgbAt(png, 60, 22), grey);
    EXPECT_TRUE(isBackground(rgbAt(png, 60, 320)));  // the line does not go on below the picture
}

TEST_F(Renderer, JointDotIsCentredOnItsPicturePositionWithItsNumberBesideIt) {
    const auto png = draw({100, 50, 400, 300}, {0, 0, 1, 1},
                            result("2D", {joint2D("left_knee", 150, 80, 0.9)}));
    // Centre (50, 30): the four pixels that meet there are wholly inside the dot.
    for (auto [x, y] : {std::pair{49, 29}, {50, 29}, {49, 30}, {50, 30}})
        EXPECT_EQ(rgbAt(png, x, y), cyan) << x << "," << y;
    // Diameter 4: two pixels out from the centre the photo shows again.
    EXPECT_EQ(rgbAt(png, 50, 33), grey);
    // The label "13" sits at (53, 27): its box starts one pixel left of it.
    EXPECT_EQ(rgbAt(png, 51, 24), grey);
    EXPECT_LT(rgbAt(png, 52, 24)[0], 60);
}

TEST_F(Renderer, NumbersAreClampedInsideThePictureAndClipped) {
    // Picture position (399, 1): the number goes to x = 386, y = 9.
    const auto png =
        draw({0, 0, 400, 300}, {0, 0, 1, 1}, result("2D", {joint2D("left_wrist", 399, 1, 0.9)}));
    EXPECT_EQ(rgbAt(png, 384, 6), grey);
    EXPECT_LT(rgbAt(png, 385, 6)[0], 60);
    EXPECT_EQ(rgbAt(png, 385, 14), grey);  // below the box
    // The part of the dot beyond the picture is clipped away: background grey there.
    EXPECT_TRUE(isBackground(rgbAt(png, 400, 1)));
    EXPECT_EQ(rgbAt(png, 398, 1), cyan);
}

TEST_F(Renderer, ConfidenceThresholdDecidesDotsBonesAndLegendRows) {
    const int legendX = 416, kneeRowY = 98 + 20 * 12;  // row of ID 13, left_knee
    auto canvas = platform::Canvas::create(10, 10);
    const double shortRow = canvas->textExtents("13  left knee", 11).advance;
    const double longRow = canvas->textExtents("13  left knee \u2014 hidden / absent", 11).advance;
    const int probeX = legendX + static_cast<int>((shortRow + longRow) / 2), probeY = kneeRowY - 3;

    auto drawn = draw({0, 0, 400, 300}, {0, 0, 1, 1},
                        result("2D", {joint2D("left_hip", 100.5, 100, 0.2), joint2D("left_knee", 100.5, 200, 0.2)}));
    EXPECT_EQ(rgbAt(drawn, 100, 200), cyan);
    EXPECT_EQ(rgbAt(drawn, 100, 150), cyan);  // the bone
    EXPECT_TRUE(isBackground(rgbAt(drawn, probeX, probeY)));

    auto hidden = draw({0, 0, 400, 300}, {0, 0, 1, 1},
                         result("2D", {joint2D("left_hip", 100.5, 100, 0.2), joint2D("left_knee", 100.5, 200, 0.1999)}));
    EXPECT_EQ(rgbAt(hidden, 100, 200), grey);
    EXPECT_EQ(rgbAt(hidden, 100, 150), grey);
    EXPECT_FALSE(isBackground(rgbAt(hidden, probeX, probeY)));  // the row goes on: " — hidden / absent"
}

// Neck and nose are dots without a bone between them, a joint without an ID has no number,
// and annotation circles have a minimum radius.
TEST_F(Renderer, DotsWithoutBonesOrNumbersAndAnnotationCircles) {
    auto pinkish = [](const std::vector<int>& c) { return c[0] > 180 && c[1] < 110 && c[2] > 150; };
    auto png = draw({0, 0, 400, 300}, {0, 0, 1, 1},
                      result("2D", {joint2D("neck", 100, 100, 0.9), joint2D("nose", 100, 160, 0.9),
                                    joint2D("unknown_joint", 300, 200, 0.9)}),
                      {{"left_knee", {100.5, 250.5}, 0.5}, {"right_knee", {250.5, 250.5}, 12}});
    EXPECT_EQ(rgbAt(png, 100, 160), cyan);
    EXPECT_EQ(rgbAt(png, 100, 130), grey);
    EXPECT_EQ(rgbAt(png, 300, 200), cyan);
    EXPECT_EQ(rgbAt(png, 305, 195), grey);
    EXPECT_TRUE(pinkish(rgbAt(png, 102, 250)));
    EXPECT_EQ(rgbAt(png, 104, 250), grey);
    EXPECT_TRUE(pinkish(rgbAt(png, 262, 250)));
    EXPECT_EQ(rgbAt(png, 250, 250), grey);
}

TEST(RendererOutput, ExtremeCoordinatesAreCutOffNotWrappedAround) {
    test::TempDir folder;
    const auto photo = patternPhoto(200, 150);
    auto png = render(folder, photo, {0, 0, 200, 150}, {-1e9, -1e9, 3e9, 3e9},
                      result("3D", {joint3D("left_hip", 1e12, 50.5), joint3D("left_knee", NAN, 5),
                                    joint3D("right_hip", -1e12, 60.5)}),
                      {{"left_knee", {1e15, 10}, 1e300}});
    // One bone crosses the whole picture at y 50..60 and nothing else is drawn there.
    EXPECT_EQ(rgbAt(png, 100, 20), rgbAt(photo, 100, 20));
    const auto onBone = rgbAt(png, 100, 55);
    EXPECT_LT(onBone[0], 20);
    EXPECT_GT(onBone[1], 230);
}

TEST(RendererOutput, FailuresHaveTheirFixedMessages) {
    test::TempDir folder;
    const auto photo = plainPhoto(40, 30, 50);
    // "Cannot create output PNG." is Runner.AFailedPictureIsRecordedAndKeepsTheDetections'.
    EXPECT_EQ(messageOf([&] {
                  InspectionRenderer::write(photo, {0, 0, 40, 30}, {0, 0, 1, 1}, result("3D", {}), {}, "/dev/full");
              }),
              "PNG export failed.");
    // Wider than any canvas the raster library can make.
    EXPECT_EQ(messageOf([&] {
                  InspectionRenderer::write(plainPhoto(32600, 1, 50), {0, 0, 32600, 1},
                                            {0, 0, 1, 1}, result("3D", {}), {}, folder / "wide.png");
              }),
              "Cannot allocate renderer.");
}
