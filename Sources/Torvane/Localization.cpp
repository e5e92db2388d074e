#include "Torvane/Localization.h"

#include <cmath>

namespace torvane {

Localization Localization::evaluate(const std::map<std::string, Point2>& predicted,
                                    const std::vector<Landmark>& annotations, std::optional<double> torsoLength) {
    std::optional<double> scale;
    if (torsoLength && std::isfinite(*torsoLength) && *torsoLength > 0) scale = *torsoLength;

    Localization result;
    for (const auto& annotation : annotations) {
        LandmarkError error{annotation.name, std::nullopt, std::nullopt, annotation.uncertaintyPixels};
        auto it = predicted.find(annotation.name);
        if (it != predicted.end() && std::isfinite(it->second.x) && std::isfinite(it->second.y))
            error.pixels = it->second.distance(annotation.point);
        // Far-out annotations (-1.5e308) overflow to infinity, which no report can carry:
        // an error that is not a finite number is absent.
        if (error.pixels && !std::isfinite(*error.pixels)) error.pixels.reset();
        if (scale && error.pixels) error.normalized = *error.pixels / *scale;
        if (error.normalized && !std::isfinite(*error.normalized)) error.normalized.reset();
        bool within = scale && error.normalized && *error.normalized <= tolerance &&
                      error.uncertaintyPixels >= 0 && error.uncertaintyPixels <= tolerance * *scale;
        if (within) ++result.withinToleranceCount;
        result.errors.push_back(std::move(error));
    }
    result.assessedCount = static_cast<std::int64_t>(result.errors.size());
    result.passes = scale && !result.errors.empty() &&
                    static_cast<double>(result.withinToleranceCount) / static_cast<double>(result.assessedCount) >=
                        requiredShare;
    if (!scale) result.reason = noScaleReason;
    return result;
}

}  // namespace torvane
