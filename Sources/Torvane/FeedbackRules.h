// Rules that turn the measured joint-angle differences of a pair into at most three
// reviewed focus points, and the measurement records those rules read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Torvane/Json.h"
#include "Torvane/PairReview.h"

namespace torvane {

// Why one side of a comparison has no angle.
enum class MeasurementUnavailable { unreviewedJoint, invalidGeometry };
template <>
struct EnumTable<MeasurementUnavailable> {
    static constexpr EnumCase<MeasurementUnavailable> cases[] = {
        {MeasurementUnavailable::unreviewedJoint, "unreviewedJoint"},
        {MeasurementUnavailable::invalidGeometry, "invalidGeometry"}};
};

// One feature measured in one frame from reviewed joints only.
struct PairMeasurement {
    std::string frameID;
    std::optional<double> angle;              // degrees, 0 (folded) to 180 (straight)
    std::vector<std::string> missingJoints;   // in the feature's joint order
    std::optional<MeasurementUnavailable> unavailable;  // present exactly when angle is absent

    bool operator==(const PairMeasurement&) const = default;
    template <class V> void fields(V& v) {
        v("angle", angle); v("frameID", frameID); v("missingJoints", missingJoints); v("unavailable", unavailable);
    }
};

// One feature compared between subject and reference rider.
struct PairObservation {
    PairFeature feature = PairFeature::leftElbow;
    PairMeasurement subject;
    PairMeasurement reference;
    std::optional<double> delta;  // subject minus reference; positive: subject straighter
    std::optional<std::string> comparisonUnavailable;

    bool operator==(const PairObservation&) const = default;
    template <class V> void fields(V& v) {
        v("comparisonUnavailable", comparisonUnavailable); v("delta", delta); v("feature", feature);
        v("reference", reference); v("subject", subject);
    }
};

enum class DifferenceDirection { greater, smaller };
template <>
struct EnumTable<DifferenceDirection> {
    static constexpr EnumCase<DifferenceDirection> cases[] = {
        {DifferenceDirection::greater, "greater"}, {DifferenceDirection::smaller, "smaller"}};
};

struct FeedbackRule {
    std::string id;
    std::string version;
    PairFeature feature = PairFeature::leftElbow;
    DifferenceDirection direction = DifferenceDirection::greater;
    std::optional<double> threshold;  // degrees
    std::int64_t priority = 0;        // lower first
    std::string suggestion;
    std::string limitation;
    std::optional<std::string> reviewProvenance;
    bool requiresCorner = false;

    // A rule is usable only with a threshold in (0, 180], a non-blank review provenance
    // and non-empty id, version, suggestion and limitation.
    bool isSupported() const;

    bool operator==(const FeedbackRule&) const = default;
    template <class V> void fields(V& v) {
        v("direction", direction); v("feature", feature); v("id", id); v("limitation", limitation);
        v("priority", priority); v("requiresCorner", requiresCorner); v("reviewProvenance", reviewProvenance);
        v("suggestion", suggestion); v("threshold", threshold); v("version", version);
    }
};

// One rule that fired for one pair. Its identity is ruleID.
struct FocusPoint {
    std::string ruleID;
    std::string ruleVersion;
    std::string pairID;
    PairFeature feature = PairFeature::leftElbow;
    std::vector<std::string> joints;
    PairObservation observation;
    std::string suggestion;
    std::string limitation;
    std::string reviewProvenance;

    const std::string& id() const { return ruleID; }

    bool operator==(const FocusPoint&) const = default;
    template <class V> void fields(V& v) {
        v("feature", feature); v("joints", joints); v("limitation", limitation); v("observation", observation);
        v("pairID", pairID); v("reviewProvenance", reviewProvenance); v("ruleID", ruleID);
        v("ruleVersion", ruleVersion); v("suggestion", suggestion);
    }
};

struct RuleCatalog {
    std::string version;
    std::vector<FeedbackRule> rules;

    static constexpr std::size_t maximumFocusPoints = 3;

    // The built-in catalogue: no rule has been reviewed yet, so it holds none.
    static const RuleCatalog& production();

    // Focus points of the supported rules that fire on comparable features, in
    // (priority, id) order, one per feature and direction, at most three.
    std::vector<FocusPoint> evaluate(const std::vector<PairObservation>& observations,
                                     const PairContext& context) const;

    bool operator==(const RuleCatalog&) const = default;
    template <class V> void fields(V& v) { v("rules", rules); v("version", version); }
};

// The feature's three joint names as strings (outer, vertex, outer).
std::vector<std::string> jointList(PairFeature feature);

}  // namespace torvane
