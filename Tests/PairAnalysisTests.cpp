// Included angles from reviewed joints, the comparison of a pair feature by feature, and
// the refusals of the analysis.
#include <gtest/gtest.h>

#include <limits>

#include "TestSupport.h"
#include "Torvane/PairAnalysis.h"

using namespace torvane;
using namespace torvane::test;

namespace {

PairContext comparableContext(const ReviewDocument& d) {
    PairContext c(d, pairA);
    for (PairFeature f : allCases<PairFeature>()) c.comparability[f] = ViewComparability::comparable;
    return c;
}

}  // namespace

// From folded to straight; absent for degenerate or non-finite points.
TEST(PairAnalysis, IncludedAngle) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    // Rays whose rounded cosine lands just outside [-1, 1] (1 + 2^-52, -1 - 2^-52) clamp to the ends.
    const Point2 p{0.5706818435376525, 0.5291699267229236};
    const double x = 0.15724721440004508, y = 0.5149813298897931, k = 0.36198074247259293;
    const struct {
        Point2 a, vertex, c;
        std::optional<double> degrees;
    } cases[] = {
        {{0, 0}, {1, 0}, {1, 1}, 90},
        {{0, 0}, {1, 0}, {2, 0}, 180},
        {{0, 0}, {1, 0}, {0, 0}, 0},
        {p, {0, 0}, p, 0},
        {{0, 0}, {x, y}, {x + x * k, y + y * k}, 180},
        {{0, 0}, {1, 0}, {1, 0}, std::nullopt},
        {{0, 0}, {1, 0}, {1 + 1e-10, 0}, std::nullopt},
        {{nan, 0}, {1, 0}, {2, 0}, std::nullopt},
        {{0, 0}, {1, inf}, {2, 0}, std::nullopt},
        {{-1.7e308, 0}, {1.7e308, 0}, {0, 1}, std::nullopt},  // finite, but the difference overflows
    };
    for (const auto& c : cases)
        EXPECT_EQ(PairAnalysis::includedAngle(c.a, c.vertex, c.c), c.degrees) << c.a.x << "," << c.a.y << " " << c.c.x;
    EXPECT_TRUE(PairAnalysis::includedAngle({0, 0}, {1, 0}, {1 + 1e-8, 0}));
}

TEST(PairAnalysis, MeasurementUsesReviewedJointsOnly) {
    auto f = frame("A001", "subject");
    place(f, PairFeature::leftElbow, {100, 100}, {200, 100}, {200, 200});
    auto m = PairAnalysis::measurement(f, PairFeature::leftElbow);
    EXPECT_EQ(m, (PairMeasurement{"A001-subject", 90.0, {}, std::nullopt}));

    f.setJoint("left_elbow", Point2{200, 100}, JointReviewState::uncertain);
    m = PairAnalysis::measurement(f, PairFeature::leftElbow);
    EXPECT_EQ(m, (PairMeasurement{"A001-subject", std::nullopt, {"left_elbow"}, MeasurementUnavailable::unreviewedJoint}));

    // Never reviewed: all three missing in joint order, whatever the detector proposed.
    ReviewFrame proposed("A001-subject", "A001", "subject", "R", "a.jpg", std::string(64, 'a'), panel, std::nullopt,
                         pose("2D", 10, 10));
    EXPECT_EQ(PairAnalysis::measurement(proposed, PairFeature::leftKnee).missingJoints,
              (std::vector<std::string>{"left_hip", "left_knee", "left_ankle"}));

    // A wrist on the elbow: all joints reviewed, no angle.
    place(f, PairFeature::leftElbow, {100, 100}, {200, 100}, {200, 100});
    EXPECT_EQ(PairAnalysis::measurement(f, PairFeature::leftElbow),
              (PairMeasurement{"A001-subject", std::nullopt, {}, MeasurementUnavailable::invalidGeometry}));
}

TEST(PairAnalysis, ComparesComparableFeaturesAndExplainsTheRest) {
    ReviewDocument d = document();
    placeAngle(d.frames[0], PairFeature::leftElbow, 150);
    placeAngle(d.frames[1], PairFeature::leftElbow, 120);
    placeAngle(d.frames[0], PairFeature::rightElbow, 100);  // reference right elbow unreviewed
    placeAngle(d.frames[0], PairFeature::leftKnee, 90);
    placeAngle(d.frames[1], PairFeature::leftKnee, 80);
    PairContext context = comparableContext(d);
    context.comparability.erase(PairFeature::leftKnee);  // both angles, but views not judged
    context.comparability[PairFeature::rightKnee] = ViewComparability::notComparable;
    d.comparisonContexts = {context};

    PairReport report = PairAnalysis::analyze(d, pairA);
    ASSERT_EQ(report.observations.size(), 4u);
    const auto& o = report.observations;
    EXPECT_EQ(o[0].feature, PairFeature::leftElbow);
    EXPECT_NEAR(*o[0].delta, 30, 1e-9);
    EXPECT_EQ(o[1].feature, PairFeature::rightElbow);
    EXPECT_FALSE(o[1].delta);
    EXPECT_EQ(o[1].comparisonUnavailable, PairAnalysis::missingJointsText);
    EXPECT_EQ(o[1].reference.missingJoints, (std::vector<std::string>{"right_shoulder", "right_elbow", "right_wrist"}));
    EXPECT_EQ(o[2].comparisonUnavailable, "Review whether these feature views are comparable.");
    EXPECT_EQ(o[3].comparisonUnavailable, "Review whether these feature views are comparable.");
    EXPECT_EQ(report.evidenceHash, context.evidenceHash);
    EXPECT_EQ(report.context, context);
}

TEST(PairAnalysis, WithoutStoredContextUsesAFreshOneAndRunsTheGivenCatalogue) {
    ReviewDocument d = document();
    placeAngle(d.frames[0], PairFeature::leftElbow, 150);
    placeAngle(d.frames[1], PairFeature::leftElbow, 120);
    FeedbackRule r{"r1", "1", PairFeature::leftElbow, DifferenceDirection::greater, 10, 1, "s", "l", "coach", false};
    FeedbackRule unsupported = r;
    unsupported.id = "r2";
    unsupported.threshold.reset();
    RuleCatalog catalog{"test-2", {r, unsupported}};

    PairReport fresh = PairAnalysis::analyze(d, pairA, catalog);
    EXPECT_EQ(fresh.context, PairContext(d, pairA));
    EXPECT_TRUE(fresh.focus.empty());  // no comparability judged yet
    EXPECT_EQ(fresh.activeRuleCount, 1);

    d.comparisonContexts = {comparableContext(d)};
    PairReport judged = PairAnalysis::analyze(d, pairA, catalog);
    ASSERT_EQ(judged.focus.size(), 1u);
    EXPECT_EQ(judged.focus[0].ruleID, "r1");
    EXPECT_EQ(judged.focus[0].observation, judged.observations[0]);
}

TEST(PairAnalysis, OnlyObscuredKneesAreUnobservable) {
    ReviewDocument d = document();
    d.frames[1].setJoint("left_knee", std::nullopt, JointReviewState::occluded);
    d.frames[0].setJoint("right_knee", Point2{10, 10}, JointReviewState::uncertain);
    d.frames[0].setJoint("left_elbow", std::nullopt, JointReviewState::occluded);
    auto report = PairAnalysis::analyze(d, pairA);
    EXPECT_EQ(report.unobservableKnees, std::set<PairFeature>{PairFeature::leftKnee});
    d.frames[0].setJoint("right_knee", std::nullopt, JointReviewState::occluded);
    EXPECT_EQ(PairAnalysis::analyze(d, pairA).unobservableKnees,
              (std::set<PairFeature>{PairFeature::leftKnee, PairFeature::rightKnee}));
}

TEST(PairAnalysis, RefusesPairsThatAreNotCompleteResolvedPairs) {
    ReviewDocument d = document();
    for (const ReviewPair& pair : {pairB, ReviewPair{"A001", "A001-subject", "B001-subject"},
                                   ReviewPair{"A001", "A001-subject", std::nullopt},
                                   ReviewPair{"C001", "C001-subject", "C001-reference"}})
        expectError([&] { PairAnalysis::analyze(d, pair); }, "No complete pair to analyze.");

    // Document-level failures come from pair review, unchanged.
    ReviewDocument stale = d;
    stale.comparisonContexts = {PairContext(d, pairA)};
    stale.frames[0] = frame("A001", "subject", 'z');
    expectError([&] { PairAnalysis::analyze(stale, pairA); }, "Comparison approval belongs to different source evidence.");
}
