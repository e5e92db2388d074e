// The pose estimator: one detector run on one rider crop, turned into a PoseResult whose
// joints are in source-photo pixels. Never throws; every outcome is a status.
#pragma once

#include <functional>

#include "Torvane/Geometry.h"
#include "Torvane/PoseResult.h"
#include "Torvane/platform/Raster.h"

namespace torvane {

struct VisionPoseEstimator {
    // `image` is the crop already cut from the upright photo at `crop`.
    static PoseResult estimate2D(const platform::Raster& image, const PixelRect& crop);
    static PoseResult estimate3D(const platform::Raster& image, const PixelRect& crop);
};

// The two estimates as values, so that callers that run both (the feasibility runner,
// detection retries) can be handed scripted detectors in tests.
struct PoseEstimates {
    std::function<PoseResult(const platform::Raster&, const PixelRect&)> estimate2D = VisionPoseEstimator::estimate2D;
    std::function<PoseResult(const platform::Raster&, const PixelRect&)> estimate3D = VisionPoseEstimator::estimate3D;
};

}  // namespace torvane
