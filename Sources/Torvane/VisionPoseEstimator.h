// The pose estimator: one detector run on one rider crop, turned into a PoseResult whose
// joints are in source-photo pixels. Never throws; every outcome is a status.
#pragma once

#include <functional>
#include <utility>

#include "Torvane/Geometry.h"
#include "Torvane/PoseResult.h"
#include "Torvane/platform/PoseDetector.h"
#include "Torvane/platform/Raster.h"

namespace torvane {

namespace platform {
class PoseModels;
}

struct VisionPoseEstimator {
    // `image` is the crop already cut from the upright photo at `crop`.
    // The detectors work on squares: a crop whose shorter side is under this share of its
    // longer side (a 16000x10 strip) has nothing to show them and is refused as an error.
    static constexpr double minimumAspect = 1.0 / 64;
    static constexpr const char* degenerateCropMessage =
        "Crop is too narrow for pose detection: its shorter side must be at least 1/64 of its longer side.";

    static PoseResult estimate2D(const platform::Raster& image, const PixelRect& crop);
    static PoseResult estimate3D(const platform::Raster& image, const PixelRect& crop);

    // Both estimates (2-D first), the same as the two calls above, while the detectors look
    // at the crop once: the people count and MoveNet's passes serve both. Each result's
    // duration counts that shared look.
    static std::pair<PoseResult, PoseResult> estimateBoth(const platform::Raster& image, const PixelRect& crop);

    // The same with a given set of models instead of the process's shared ones.
    static PoseResult estimate2D(const platform::Raster& image, const PixelRect& crop, const platform::PoseModels& models);
    static PoseResult estimate3D(const platform::Raster& image, const PixelRect& crop, const platform::PoseModels& models);
    static std::pair<PoseResult, PoseResult> estimateBoth(const platform::Raster& image, const PixelRect& crop,
                                                          const platform::PoseModels& models);

    // Result assembly from one detector run. `perform` runs the detector; it and the
    // observations' joint questions may throw, which makes an "error" result. The duration
    // is the time since the call plus `earlierSeconds` (work done for it beforehand).
    static PoseResult assemble2D(const PixelRect& crop, const std::function<platform::DetectorRun2D()>& perform,
                                 double earlierSeconds = 0);
    static PoseResult assemble3D(const PixelRect& crop, const std::function<platform::DetectorRun3D()>& perform,
                                 double earlierSeconds = 0);
};

// The two estimates as values, so that callers that run both (the feasibility runner,
// detection retries) can be handed scripted detectors in tests.
struct PoseEstimates {
    using Estimate = PoseResult (*)(const platform::Raster&, const PixelRect&);
    std::function<PoseResult(const platform::Raster&, const PixelRect&)> estimate2D = static_cast<Estimate>(VisionPoseEstimator::estimate2D);
    std::function<PoseResult(const platform::Raster&, const PixelRect&)> estimate3D = static_cast<Estimate>(VisionPoseEstimator::estimate3D);

    // Both estimates of one crop (2-D, 3-D): with the process's own estimators they share
    // the detectors' first look (VisionPoseEstimator::estimateBoth); otherwise the two above.
    std::pair<PoseResult, PoseResult> both(const platform::Raster& image, const PixelRect& crop) const;
};

}  // namespace torvane
