// Which rules may fire, in which order, and the cut at three focus points.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "TestSupport.h"
#include "Torvane/FeedbackRules.h"

using namespace torvane;
using namespace torvane::test;

namespace {

FeedbackRule rule(std::string id, PairFeature feature, DifferenceDirection direction, double threshold,
                  std::int64_t priority = 1) {
    return {std::move(id), "1", feature, direction, threshold, priority, "Try it.", "Photo only.", "coach A", false};
}

PairObservation observation(PairFeature feature, std::optional<double> delta) {
    return {feature, {"s", 100, {}, std::nullopt}, {"r", 100, {}, std::nullopt}, delta, std::nullopt};
}

PairContext comparableContext() {
    PairContext c;
    c.pairID = "A001";
    for (PairFeature f : allCases<PairFeature>()) c.comparability[f] = ViewComparability::comparable;
    c.cornerDirection = CornerDirection::left;
    return c;
}

std::vector<std::string> firedIDs(const RuleCatalog& catalog, const std::vector<PairObservation>& observations,
                                  const PairContext& context = comparableContext()) {
    std::vector<std::string> ids;
    for (const auto& point : catalog.evaluate(observations, context)) ids.push_back(point.id());
    return ids;
}

}  // namespace

TEST(FeedbackRules, SupportNeedsThresholdProvenanceAndTexts) {
    EXPECT_TRUE(rule("a", PairFeature::leftElbow, DifferenceDirection::greater, 180).isSupported());
    EXPECT_TRUE(rule("a", PairFeature::leftElbow, DifferenceDirection::greater, 1e-6).isSupported());
    for (double t : {0.0, -5.0, 180.0001, std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity()})
        EXPECT_FALSE(rule("a", PairFeature::leftElbow, DifferenceDirection::greater, t).isSupported()) << t;

    auto r = rule("a", PairFeature::leftElbow, DifferenceDirection::greater, 10);
    r.threshold.reset();
    EXPECT_FALSE(r.isSupported());
    r = rule("a", PairFeature::leftElbow, DifferenceDirection::greater, 10);
    r.reviewProvenance.reset();
    EXPECT_FALSE(r.isSupported());
    r.reviewProvenance = " \n\t\u00A0";
    EXPECT_FALSE(r.isSupported());
    for (auto field : {&FeedbackRule::id, &FeedbackRule::version, &FeedbackRule::suggestion, &FeedbackRule::limitation}) {
        r = rule("a", PairFeature::leftElbow, DifferenceDirection::greater, 10);
        r.*field = "";
        EXPECT_FALSE(r.isSupported());
        r.*field = "  ";  // plain emptiness only: spaces count as text here
        EXPECT_TRUE(r.isSupported());
    }
}

TEST(FeedbackRules, ProductionCatalogueHasNoRulesAndNeverFires) {
    const RuleCatalog& production = RuleCatalog::production();
    EXPECT_EQ(production.version, "1-pending-review");
    EXPECT_TRUE(production.rules.empty());
    EXPECT_TRUE(production.evaluate({observation(PairFeature::leftElbow, 90)}, comparableContext()).empty());
}

TEST(FeedbackRules, ThresholdsAreInclusiveInBothDirections) {
    RuleCatalog greater{"t", {rule("g", PairFeature::leftElbow, DifferenceDirection::greater, 10)}};
    EXPECT_EQ(firedIDs(greater, {observation(PairFeature::leftElbow, 10)}), std::vector<std::string>{"g"});
    EXPECT_TRUE(firedIDs(greater, {observation(PairFeature::leftElbow, 9.99)}).empty());
    EXPECT_TRUE(firedIDs(greater, {observation(PairFeature::leftElbow, -50)}).empty());

    RuleCatalog smaller{"t", {rule("s", PairFeature::leftElbow, DifferenceDirection::smaller, 10)}};
    EXPECT_EQ(firedIDs(smaller, {observation(PairFeature::leftElbow, -10)}), std::vector<std::string>{"s"});
    EXPECT_TRUE(firedIDs(smaller, {observation(PairFeature::leftElbow, 10)}).empty());
    EXPECT_TRUE(firedIDs(smaller, {observation(PairFeature::leftElbow, -9.99)}).empty());
}

TEST(FeedbackRules, FocusPointCarriesRuleContextAndObservation) {
    auto r = rule("knee-open", PairFeature::leftKnee, DifferenceDirection::smaller, 5);
    r.version = "3";
    RuleCatalog catalog{"t", {r}};
    auto first = observation(PairFeature::leftKnee, -7);
    auto second = observation(PairFeature::leftKnee, 40);  // only the first entry for a feature counts
    auto points = catalog.evaluate({first, second}, comparableContext());
    ASSERT_EQ(points.size(), 1u);
    EXPECT_EQ(points[0], (FocusPoint{"knee-open", "3", "A001", PairFeature::leftKnee,
                                     {"left_hip", "left_knee", "left_ankle"}, first, "Try it.", "Photo only.",
                                     "coach A"}));
}

TEST(FeedbackRules, OnlyTheFirstThreeByPriorityThenIdFire) {
    RuleCatalog catalog{"t",
                        {rule("e", PairFeature::rightKnee, DifferenceDirection::greater, 1, 5),
                         rule("d", PairFeature::leftKnee, DifferenceDirection::smaller, 1, 1),
                         rule("c", PairFeature::rightElbow, DifferenceDirection::greater, 1, 2),
                         rule("b", PairFeature::leftElbow, DifferenceDirection::greater, 1, 1)}};
    std::vector<PairObservation> observations = {
        observation(PairFeature::leftElbow, 20), observation(PairFeature::rightElbow, 20),
        observation(PairFeature::leftKnee, -20), observation(PairFeature::rightKnee, 20)};
    // All four fire on distinct keys; e comes last and is cut.
    EXPECT_EQ(firedIDs(catalog, observations), (std::vector<std::string>{"b", "d", "c"}));
}

TEST(FeedbackRules, OneFocusPointPerFeatureAndDirectionClaimedOnlyByFiringRules) {
    RuleCatalog catalog{"t",
                        {rule("low", PairFeature::leftElbow, DifferenceDirection::greater, 20, 2),
                         rule("high", PairFeature::leftElbow, DifferenceDirection::greater, 30, 1)}};
    EXPECT_EQ(firedIDs(catalog, {observation(PairFeature::leftElbow, 35)}), std::vector<std::string>{"high"});
    EXPECT_EQ(firedIDs(catalog, {observation(PairFeature::leftElbow, 25)}), std::vector<std::string>{"low"});

    // An unsupported rule ahead of a supported one does not claim the key either.
    catalog.rules[1].reviewProvenance = "";
    EXPECT_EQ(firedIDs(catalog, {observation(PairFeature::leftElbow, 35)}), std::vector<std::string>{"low"});
}

TEST(FeedbackRules, RulesNeedComparableViewsCornerAndDelta) {
    auto cornerRule = rule("corner", PairFeature::rightElbow, DifferenceDirection::greater, 5);
    cornerRule.requiresCorner = true;
    RuleCatalog catalog{"t", {rule("a", PairFeature::leftElbow, DifferenceDirection::greater, 5), cornerRule}};
    std::vector<PairObservation> observations = {observation(PairFeature::leftElbow, 10),
                                                 observation(PairFeature::rightElbow, 10)};
    EXPECT_EQ(firedIDs(catalog, observations), (std::vector<std::string>{"a", "corner"}));

    auto context = comparableContext();
    context.cornerDirection = CornerDirection::unknown;
    context.comparability[PairFeature::leftElbow] = ViewComparability::unreviewed;
    EXPECT_TRUE(firedIDs(catalog, observations, context).empty());
    context.comparability.erase(PairFeature::leftElbow);
    EXPECT_TRUE(firedIDs(catalog, observations, context).empty());
    context.comparability[PairFeature::leftElbow] = ViewComparability::notComparable;
    EXPECT_TRUE(firedIDs(catalog, observations, context).empty());

    EXPECT_TRUE(firedIDs(catalog, {observation(PairFeature::leftElbow, std::nullopt)}).empty());
    EXPECT_TRUE(firedIDs(catalog, {observation(PairFeature::leftKnee, 50)}).empty());
}
