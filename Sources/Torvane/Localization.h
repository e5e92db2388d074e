// Scoring hand-placed landmarks against predicted joints.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Torvane/Geometry.h"

namespace torvane {

struct Landmark {
    std::string name;
    Point2 point;
    double uncertaintyPixels = 0;

    bool operator==(const Landmark&) const = default;
    template <class V> void fields(V& v) { v("name", name); v("point", point); v("uncertaintyPixels", uncertaintyPixels); }
};

struct LandmarkError {
    std::string name;
    std::optional<double> pixels;
    std::optional<double> normalized;
    double uncertaintyPixels = 0;

    bool operator==(const LandmarkError&) const = default;
    template <class V> void fields(V& v) {
        v("name", name); v("normalized", normalized); v("pixels", pixels); v("uncertaintyPixels", uncertaintyPixels);
    }
};

struct Localization {
    std::int64_t assessedCount = 0;
    std::int64_t withinToleranceCount = 0;
    std::vector<LandmarkError> errors;
    bool passes = false;
    std::optional<std::string> reason;

    static constexpr double tolerance = 0.05;
    static constexpr double requiredShare = 0.9;
    static constexpr const char* noScaleReason =
        "Torso scale is not independently assessable; no normalized accuracy claim.";

    static Localization evaluate(const std::map<std::string, Point2>& predicted,
                                 const std::vector<Landmark>& annotations, std::optional<double> torsoLength);

    bool operator==(const Localization&) const = default;
    template <class V> void fields(V& v) {
        v("assessedCount", assessedCount); v("errors", errors); v("passes", passes); v("reason", reason);
        v("withinToleranceCount", withinToleranceCount);
    }
};

}  // namespace torvane
