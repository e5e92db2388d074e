// The detector's geometry without any network: anchors, suppression and regions.
#include <gtest/gtest.h>

#include <cmath>

#include "TestSupport.h"
#include "Torvane/platform/PoseGeometry.h"

using namespace torvane::platform;

namespace {

PersonDetection box(double score, double x, double y, double side) {
    PersonDetection d;
    d.score = score;
    d.centerX = x;
    d.centerY = y;
    d.width = d.height = side;
    for (auto& k : d.keypoints) k = {x, y, score};
    return d;
}

// A standing body: shoulders 40 px above the hips, knees and ankles below.
CocoPose standing(double score = 0.9) {
    CocoPose k{};
    for (auto& p : k) p = {100, 100, score};
    k[leftShoulder] = {110, 60, score};
    k[rightShoulder] = {90, 60, score};
    k[leftHip] = {108, 100, score};
    k[rightHip] = {92, 100, score};
    k[13] = {108, 140, score};
    k[14] = {92, 140, score};
    k[15] = {108, 180, score};
    k[16] = {92, 180, score};
    k[nose] = {100, 45, score};
    return k;
}

}  // namespace

TEST(PoseGeometry, AnchorsCoverTheDetectorsFeatureMaps) {
    auto anchors = poseDetectorAnchors(224);
    // 28 x 28 cells with 2 anchors, 14 x 14 with 2, 7 x 7 with 6 (three layers of stride 32).
    ASSERT_EQ(anchors.size(), 28u * 28 * 2 + 14u * 14 * 2 + 7u * 7 * 6);
    EXPECT_DOUBLE_EQ(anchors[0].x, 0.5 / 28);
    EXPECT_DOUBLE_EQ(anchors[1].x, 0.5 / 28);  // the interpolated anchor of the same cell
    EXPECT_DOUBLE_EQ(anchors[2].x, 1.5 / 28);
    EXPECT_DOUBLE_EQ(anchors.back().x, 6.5 / 7);
}

TEST(PoseGeometry, WeightedSuppressionMergesOverlapsByScore) {
    struct Case {
        const char* what;
        std::vector<PersonDetection> candidates;
        std::size_t kept;
        double firstX;
    };
    const Case cases[] = {
        {"nothing", {}, 0, 0},
        {"two overlapping boxes become their score-weighted mean, with the best score",
         {box(0.6, 100, 100, 50), box(0.9, 110, 100, 50)}, 1, (0.6 * 100 + 0.9 * 110) / 1.5},
        {"far apart boxes stay two people", {box(0.9, 100, 100, 50), box(0.8, 300, 100, 50)}, 2, 100},
        // Overlap of two 50 px boxes 25 px apart is 1/3, just above the threshold.
        {"a third of overlap merges", {box(0.9, 100, 100, 50), box(0.8, 125, 100, 50)}, 1, (0.9 * 100 + 0.8 * 125) / 1.7},
        {"a quarter does not", {box(0.9, 100, 100, 50), box(0.8, 130, 100, 50)}, 2, 100},
    };
    for (const auto& c : cases) {
        auto kept = weightedSuppression(c.candidates, 0.3);
        ASSERT_EQ(kept.size(), c.kept) << c.what;
        if (kept.empty()) continue;
        EXPECT_NEAR(kept[0].centerX, c.firstX, 1e-9) << c.what;
        EXPECT_NEAR(kept[0].keypoints[2].x, c.firstX, 1e-9) << c.what;
        EXPECT_DOUBLE_EQ(kept[0].score, 0.9) << c.what;
    }
    EXPECT_NEAR(overlap(box(1, 0, 0, 2), box(1, 1, 0, 2)), 2.0 / 6.0, 1e-12);
}

TEST(PoseGeometry, RegionsMapTheirInputBackIntoTheImage) {
    const RotatedSquare upright{100, 50, 200, 0, -1};
    struct Case {
        const char* what;
        RotatedSquare region;
        double u, v;  // in a 256 x 256 input
        double x, y;
    };
    const Case cases[] = {
        {"centre", upright, 128, 128, 100, 50},
        {"top-left corner", upright, 0, 0, 0, -50},
        {"bottom-right corner", upright, 256, 256, 200, 150},
        // Turned a quarter clockwise: "up" points to the image's right, so the input's top
        // edge lies along the region's right side.
        {"turned 90 degrees: the input's top-left is the image's top-right", upright.turned(90), 0, 0, 200, -50},
        {"turned -90 degrees", upright.turned(-90), 0, 0, 0, 150},
    };
    for (const auto& c : cases) {
        auto p = c.region.toImage(c.u, c.v, 256);
        EXPECT_NEAR(p.x, c.x, 1e-9) << c.what;
        EXPECT_NEAR(p.y, c.y, 1e-9) << c.what;
        auto back = c.region.toRegion(p.x, p.y, 256);
        EXPECT_NEAR(back.x, c.u, 1e-9) << c.what;
        EXPECT_NEAR(back.y, c.v, 1e-9) << c.what;
    }
}

TEST(PoseGeometry, RegionsFromJoints) {
    // A body lying to the right (shoulders right of the hips): "up" points right.
    CocoPose lying = standing();
    for (auto& p : lying) p = {100 + (100 - p.y), 100 + (p.x - 100), p.score};
    auto region = regionFromJoints(lying, 0.2, 1.25);
    ASSERT_TRUE(region);
    EXPECT_NEAR(region->upX, 1, 1e-9);
    EXPECT_NEAR(region->upY, 0, 1e-9);
    EXPECT_NEAR(region->side, 2 * std::hypot(80, 8) * 1.25, 1e-9);  // the farther ankle
    CocoPose collapsed = standing();
    collapsed[leftShoulder] = collapsed[leftHip];
    collapsed[rightShoulder] = collapsed[rightHip];
    EXPECT_FALSE(regionFromJoints(collapsed, 0.2, 1.25));

    // Mirrored keypoints trade places pairwise; the nose stays.
    auto swapped = swappedSides(standing());
    EXPECT_EQ(swapped[leftShoulder].x, 90);
    EXPECT_EQ(swapped[rightShoulder].x, 110);
    EXPECT_EQ(swapped[nose].y, 45);
}

TEST(PoseGeometry, MirrorPassesAgreeOrTheSurerOneWins) {
    CocoPose direct = standing(0.8), mirrored = standing(0.4);
    mirrored[leftShoulder] = {113, 60, 0.4};   // 3 px off: averaged by score
    mirrored[leftHip] = {150, 100, 0.9};       // far off and surer: its point
    mirrored[rightHip] = {40, 100, 0.1};       // far off and less sure: the direct point
    auto merged = mergedMirrorPasses(direct, mirrored, 10);
    EXPECT_NEAR(merged[leftShoulder].x, (110 * 0.8 + 113 * 0.4) / 1.2, 1e-9);
    EXPECT_NEAR(merged[leftShoulder].score, 0.6, 1e-9);
    EXPECT_EQ(merged[leftHip].x, 150);
    EXPECT_NEAR(merged[leftHip].score, 0.85, 1e-9);
    EXPECT_EQ(merged[rightHip].x, 92);
    EXPECT_NEAR(merged[rightHip].score, 0.45, 1e-9);  // a disputed joint loses confidence
}

TEST(PoseGeometry, OnlyLargePeopleCount) {
    struct Case {
        const char* what;
        std::vector<double> sizes;
        int people;
    };
    // Nobody, one person and two of similar size: PoseDetector's outcomes on real photos.
    const Case cases[] = {
        {"a rider and a small spectator", {0.6, 0.12}, 1},
        {"only small figures", {0.12, 0.13}, 0},
        {"the smallest that counts", {0.2, 0.2}, 2},
    };
    for (const auto& c : cases) EXPECT_EQ(countPeople(c.sizes, 0.4, 0.2), c.people) << c.what;
}

TEST(PoseGeometry, CalibrationMovesTheThresholdToTheDisplayedOne) {
    struct Case {
        double score, threshold, expected;
    };
    const Case cases[] = {
        {0.5, 0.5, 0.2}, {0.25, 0.5, 0.1}, {0, 0.5, 0}, {1, 0.5, 1}, {0.75, 0.5, 0.6},
        {0.3, 0.2, 0.3},  // 0.2 changes nothing
        {0.3, 0, 0.3},    // nor does a threshold outside (0, 1)
    };
    for (const auto& c : cases) EXPECT_NEAR(calibrated(c.score, c.threshold), c.expected, 1e-12) << c.score << " " << c.threshold;
    EXPECT_TRUE(std::isnan(calibrated(std::nan(""), 0.5)));
}

TEST(PoseGeometry, SidesTradedWhenTheTorsoMatchesTheOtherWayRound) {
    const CocoPose k = standing();  // left shoulder (110, 60), right (90, 60); hips (108, 100), (92, 100)
    const std::array<ScoredPoint, 4> same{{{111, 61, 0}, {89, 60, 0}, {107, 100, 0}, {93, 101, 0}}};
    const std::array<ScoredPoint, 4> traded{{{89, 60, 0}, {111, 61, 0}, {93, 101, 0}, {107, 100, 0}}};
    EXPECT_FALSE(sidesTraded(k, same, 0.2));
    EXPECT_TRUE(sidesTraded(k, traded, 0.2));
    // Without confident shoulders or hips there is nothing to go by.
    EXPECT_FALSE(sidesTraded(standing(0.1), traded, 0.2));
    // The hips alone decide when the shoulders are unsure.
    CocoPose unsureShoulders = standing();
    unsureShoulders[leftShoulder].score = unsureShoulders[rightShoulder].score = 0.1;
    std::array<ScoredPoint, 4> hipsTraded = same;
    std::swap(hipsTraded[2], hipsTraded[3]);
    EXPECT_TRUE(sidesTraded(unsureShoulders, hipsTraded, 0.2));
}

TEST(PoseGeometry, SidesOnOneSpotAreBothDoubted) {
    CocoPose k = standing();
    k[13] = {100, 140, 0.7};    // knees 1 px apart: one spot
    k[14] = {101, 140, 0.05};   // an already lower score stays
    k[15] = {104, 180, 0.9};    // ankles 8 px apart: two joints
    k[16] = {96, 180, 0.9};
    k[nose] = {100, 45, 0.9};   // not a side joint
    k[1] = k[2] = {100, 40, 0.9};  // eyes are left as they are
    doubtCoincidentSides(k, 4, 0.1);
    EXPECT_EQ(k[13].score, 0.1);
    EXPECT_EQ(k[14].score, 0.05);
    EXPECT_EQ(k[15].score, 0.9);
    EXPECT_EQ(k[16].score, 0.9);
    EXPECT_EQ(k[1].score, 0.9);
    EXPECT_EQ(k[leftShoulder].score, 0.9);
}
