#include "Torvane/ProvisionalCoaching.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Torvane/PairAnalysis.h"

namespace torvane {

std::string CoachingBullet::id() const { return feature ? std::string(enumName(*feature)) : title; }

bool isElbow(PairFeature feature) { return feature == PairFeature::leftElbow || feature == PairFeature::rightElbow; }

std::optional<std::string_view> role(PairFeature feature, CornerDirection corner) {
    if (corner == CornerDirection::unknown) return std::nullopt;
    bool leftSide = feature == PairFeature::leftElbow || feature == PairFeature::leftKnee;
    return leftSide == (corner == CornerDirection::left) ? "Inside" : "Outside";
}

CornerDirection PairReport::effectiveCornerDirection() const {
    if (context.cornerDirection != CornerDirection::unknown) return context.cornerDirection;
    if (context.photoCoaching) return context.photoCoaching->cornerDirection;
    return CornerDirection::unknown;
}

bool PairReport::hasPhotoCoaching() const {
    return context.photoCoaching && context.photoCoaching->cornerDirection == effectiveCornerDirection();
}

namespace {

constexpr double elbowThreshold = 10;  // degrees

std::optional<CoachingBullet> elbowBullet(const PairObservation& o, std::string_view side) {
    if (!o.delta || std::abs(*o.delta) < elbowThreshold) return std::nullopt;
    const double delta = *o.delta;
    char degrees[64];
    std::snprintf(degrees, sizeof degrees, "%.0f", std::abs(delta));
    CoachingBullet bullet;
    bullet.feature = o.feature;
    bullet.title = std::string(side) + " elbow: explore " + (delta > 0 ? "more" : "less") + " bend";
    bullet.detail = std::string("Your elbow appears ") + degrees + "\u00B0 " + (delta > 0 ? "straighter" : "more bent") +
                    " than the reference. Compare the whole arm shape while keeping relaxed access to the controls. "
                    "Perspective may explain part of the difference.";
    return bullet;
}

std::optional<CoachingBullet> kneeBullet(const PairReport& report, const PairObservation& o, std::string_view side) {
    if (report.unobservableKnees.count(o.feature)) return std::nullopt;
    const auto& placements = report.context.kneePlacement;
    if (!placements) return std::nullopt;
    auto entry = placements->find(o.feature);
    if (entry == placements->end()) return std::nullopt;
    const KneePlacement placement = entry->second;
    if (placement != KneePlacement::closerToTank && placement != KneePlacement::fartherFromTank) return std::nullopt;
    const bool closer = placement == KneePlacement::closerToTank;
    std::string action = !closer           ? "hold closer to the tank"
                         : side == "Inside" ? "open toward the turn"
                                            : "compare a less tucked position";
    CoachingBullet bullet;
    bullet.feature = o.feature;
    bullet.title = std::string(side) + " knee: " + action;
    bullet.detail = std::string("Your visual review places this knee ") + (closer ? "closer to" : "farther from") +
                    " the tank than the reference. Compare how the thigh opens at the hip, together with pelvis and "
                    "foot placement. This does not measure hip rotation, foot contact or tank pressure.";
    return bullet;
}

}  // namespace

std::vector<CoachingBullet> PairReport::coaching() const {
    std::vector<CoachingBullet> out;
    if (context.photoCoaching && hasPhotoCoaching()) {
        for (const auto& point : context.photoCoaching->points)
            out.push_back({std::nullopt, point.title, point.detail, context.photoCoaching->provenance,
                           CoachingBullet::photoVersion});
        return out;
    }
    const CornerDirection corner = effectiveCornerDirection();
    if (corner == CornerDirection::unknown) return out;

    // Inside elbow, outside elbow, inside knee, outside knee.
    auto rank = [&](const PairObservation& o) {
        return (isElbow(o.feature) ? 0 : 2) + (role(o.feature, corner) == "Inside" ? 0 : 1);
    };
    std::vector<const PairObservation*> ordered;
    for (const auto& o : observations) ordered.push_back(&o);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [&](const PairObservation* a, const PairObservation* b) { return rank(*a) < rank(*b); });

    for (const PairObservation* o : ordered) {
        const std::string_view side = *role(o->feature, corner);
        auto bullet = isElbow(o->feature) ? elbowBullet(*o, side) : kneeBullet(*this, *o, side);
        if (bullet) out.push_back(std::move(*bullet));
        if (out.size() == 3) break;
    }
    return out;
}

}  // namespace torvane
