#include <gtest/gtest.h>

#include <cmath>

#include "TestSupport.h"
#include "Torvane/Geometry.h"
#include "Torvane/Localization.h"

using namespace torvane;
using namespace torvane::test;

namespace {
bool valid(PixelRect r, long long w = 640, long long h = 480) {
    try {
        r.validate(w, h);
        return true;
    } catch (const PoseError& e) {
        EXPECT_STREQ(e.what(), "Crop is outside the image or not integral pixels.");
        return false;
    }
}
}  // namespace

TEST(Geometry, RectangleValidation) {
    const PixelRect inside[] = {{0, 0, 640, 480}, {-0.0, -0.0, 10, 10}, {630, 470, 10, 10}};
    for (const auto& r : inside) EXPECT_TRUE(valid(r)) << r.x << " " << r.y << " " << r.width;
    const PixelRect refused[] = {{1, 0, 640, 480},   {0, 0, 640, 481},   {0, 0, 0, 10},       {0, 0, 10, 0},
                                 {-1, 0, 10, 10},    {10.5, 0, 10, 10},  {0, 0, 10, 10.5},    {NAN, 0, 10, 10},
                                 {0, 0, INFINITY, 10}, {0, -INFINITY, 10, 10}};
    for (const auto& r : refused) EXPECT_FALSE(valid(r)) << r.x << " " << r.y << " " << r.width;
}

namespace {
std::vector<Landmark> marks(int n, double uncertainty = 1) {
    std::vector<Landmark> out;
    for (int i = 0; i < n; ++i) out.push_back({"j" + std::to_string(i), {0, 0}, uncertainty});
    return out;
}
std::map<std::string, Point2> predictions(int n, int within) {
    std::map<std::string, Point2> out;
    for (int i = 0; i < n; ++i) out["j" + std::to_string(i)] = {i < within ? 5.0 : 50.0, 0};
    return out;
}
}  // namespace

TEST(Localization, ScaleMustBeUsable) {
    for (std::optional<double> torso : {std::optional<double>(), std::optional<double>(0.0),
                                        std::optional<double>(-5.0), std::optional<double>(NAN),
                                        std::optional<double>(INFINITY)}) {
        auto l = Localization::evaluate(predictions(3, 3), marks(3), torso);
        EXPECT_EQ(l.assessedCount, 3);
        EXPECT_EQ(l.withinToleranceCount, 0);
        EXPECT_FALSE(l.passes);
        EXPECT_EQ(l.reason, std::string(Localization::noScaleReason));
        for (const auto& e : l.errors) {
            EXPECT_EQ(e.pixels, 5.0);
            EXPECT_FALSE(e.normalized);
        }
    }
    auto empty = Localization::evaluate({}, {}, 100.0);
    EXPECT_EQ(empty.assessedCount, 0);
    EXPECT_FALSE(empty.passes);
    EXPECT_FALSE(empty.reason);
}

TEST(Localization, ShareAndToleranceAreInclusive) {
    EXPECT_TRUE(Localization::evaluate(predictions(10, 9), marks(10), 100.0).passes);   // 0.9
    EXPECT_FALSE(Localization::evaluate(predictions(9, 8), marks(9), 100.0).passes);    // 0.889
    EXPECT_TRUE(Localization::evaluate(predictions(1, 1), marks(1), 100.0).passes);
    // 5 px on a 100 px torso is exactly 0.05; an uncertainty of exactly 5 px is allowed.
    EXPECT_EQ(Localization::evaluate(predictions(1, 1), marks(1, 5), 100.0).withinToleranceCount, 1);
    EXPECT_EQ(Localization::evaluate(predictions(1, 1), marks(1, 5.0001), 100.0).withinToleranceCount, 0);
    EXPECT_EQ(Localization::evaluate(predictions(1, 1), marks(1, -1), 100.0).withinToleranceCount, 0);
    // A perfect prediction of an unsure annotation does not count.
    EXPECT_EQ(Localization::evaluate({{"j0", {0, 0}}}, marks(1, 6), 100.0).withinToleranceCount, 0);
}

TEST(Localization, MissingAndNonFinitePredictions) {
    auto l = Localization::evaluate({{"j1", {NAN, 0}}, {"j2", {0, INFINITY}}}, marks(3), 100.0);
    EXPECT_EQ(l.assessedCount, 3);
    for (const auto& e : l.errors) {
        EXPECT_FALSE(e.pixels);
        EXPECT_FALSE(e.normalized);
    }
}
