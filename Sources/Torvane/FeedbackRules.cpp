#include "Torvane/FeedbackRules.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "Torvane/Text.h"

namespace torvane {

std::vector<std::string> jointList(PairFeature feature) {
    std::vector<std::string> out;
    for (auto name : joints(feature)) out.emplace_back(name);
    return out;
}

bool FeedbackRule::isSupported() const {
    if (!threshold || !std::isfinite(*threshold) || !(*threshold > 0) || *threshold > 180) return false;
    if (!reviewProvenance || isBlank(*reviewProvenance)) return false;
    // Plain emptiness here: a suggestion of spaces is still text someone wrote.
    return !suggestion.empty() && !limitation.empty() && !version.empty() && !id.empty();
}

const RuleCatalog& RuleCatalog::production() {
    static const RuleCatalog catalog{"1-pending-review", {}};
    return catalog;
}

std::vector<FocusPoint> RuleCatalog::evaluate(const std::vector<PairObservation>& observations,
                                              const PairContext& context) const {
    std::vector<const FeedbackRule*> ordered;
    for (const auto& rule : rules) ordered.push_back(&rule);
    std::stable_sort(ordered.begin(), ordered.end(), [](const FeedbackRule* a, const FeedbackRule* b) {
        return a->priority != b->priority ? a->priority < b->priority : a->id < b->id;
    });

    std::vector<FocusPoint> out;
    std::set<std::string> used;
    for (const FeedbackRule* rule : ordered) {
        if (out.size() == maximumFocusPoints) break;
        if (!rule->isSupported()) continue;
        auto comparability = context.comparability.find(rule->feature);
        if (comparability == context.comparability.end() || comparability->second != ViewComparability::comparable)
            continue;
        if (rule->requiresCorner && context.cornerDirection == CornerDirection::unknown) continue;
        auto observation = std::find_if(observations.begin(), observations.end(),
                                        [&](const PairObservation& o) { return o.feature == rule->feature; });
        if (observation == observations.end() || !observation->delta) continue;
        double signedValue = rule->direction == DifferenceDirection::greater ? *observation->delta : -*observation->delta;
        if (!(*rule->threshold <= signedValue)) continue;
        // Only a rule that passed every test claims its feature and direction.
        std::string key = std::string(enumName(rule->feature)) + std::string(enumName(rule->direction));
        if (!used.insert(key).second) continue;
        out.push_back({rule->id, rule->version, context.pairID, rule->feature, jointList(rule->feature), *observation,
                       rule->suggestion, rule->limitation, *rule->reviewProvenance});
    }
    return out;
}

}  // namespace torvane
