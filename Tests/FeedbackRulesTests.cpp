// Which rules may fire, in which order, and the cut at three focus points.
#include <gtest/gtest.h>

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

// Which rules fire: thresholds inclusive in both directions, one focus point per feature and
// direction claimed only by a firing rule, comparable views, a corner where the rule needs
// one, a difference to compare, and the first three by priority then id.
TEST(FeedbackRules, WhichRulesFire) {
    const auto greater = DifferenceDirection::greater, smaller = DifferenceDirection::smaller;
    const auto elbow = PairFeature::leftElbow;
    auto cornerRule = rule("corner", PairFeature::rightElbow, greater, 5);
    cornerRule.requiresCorner = true;
    auto unsupportedHigh = rule("high", elbow, greater, 30, 1);
    unsupportedHigh.reviewProvenance = "";
    const RuleCatalog thresholds{"t", {rule("g", elbow, greater, 10), rule("s", elbow, smaller, 10)}};
    const RuleCatalog claims{"t", {rule("low", elbow, greater, 20, 2), rule("high", elbow, greater, 30, 1)}};
    const RuleCatalog corner{"t", {rule("a", elbow, greater, 5), cornerRule}};
    const auto knee = PairFeature::leftKnee;
    const RuleCatalog four{"t", {rule("e", PairFeature::rightKnee, greater, 1, 5), rule("d", knee, smaller, 1, 1),
                                 rule("c", PairFeature::rightElbow, greater, 1, 2), rule("b", elbow, greater, 1, 1)}};
    auto unjudged = comparableContext();
    unjudged.comparability.erase(elbow);
    auto notComparable = comparableContext(), noCorner = comparableContext();
    notComparable.comparability[elbow] = ViewComparability::notComparable;
    noCorner.cornerDirection = CornerDirection::unknown;
    const auto both = {observation(elbow, 10), observation(PairFeature::rightElbow, 10)};
    const struct {
        const char* name;
        RuleCatalog catalog;
        std::vector<PairObservation> observations;
        PairContext context;
        std::vector<std::string> fired;
    } cases[] = {
        {"greater at the threshold", thresholds, {observation(elbow, 10)}, comparableContext(), {"g"}},
        {"just below it", thresholds, {observation(elbow, 9.99)}, comparableContext(), {}},
        {"smaller at the threshold", thresholds, {observation(elbow, -10)}, comparableContext(), {"s"}},
        {"the higher threshold claims the key", claims, {observation(elbow, 35)}, comparableContext(), {"high"}},
        {"below it the next rule fires", claims, {observation(elbow, 25)}, comparableContext(), {"low"}},
        {"an unsupported rule claims nothing", {"t", {claims.rules[0], unsupportedHigh}}, {observation(elbow, 35)},
         comparableContext(), {"low"}},
        {"comparable views and a corner", corner, both, comparableContext(), {"a", "corner"}},
        {"no corner", corner, both, noCorner, {"a"}},
        {"views not judged", corner, both, unjudged, {"corner"}},
        {"views not comparable", corner, both, notComparable, {"corner"}},
        {"no difference", corner, {observation(elbow, std::nullopt)}, comparableContext(), {}},
        {"another feature", corner, {observation(PairFeature::leftKnee, 50)}, comparableContext(), {}},
        {"the first three by priority then id", four,
         {observation(elbow, 20), observation(PairFeature::rightElbow, 20), observation(PairFeature::leftKnee, -20),
          observation(PairFeature::rightKnee, 20)},
         comparableContext(), {"b", "d", "c"}},
    };
    for (const auto& c : cases) EXPECT_EQ(firedIDs(c.catalog, c.observations, c.context), c.fired) << c.name;
}
