#include "Torvane/VisionPoseEstimator.h"

namespace torvane {

// Placeholder until the detector lands: every run reports an error result.
namespace {
PoseResult unavailable(std::string_view kind) {
    PoseResult r;
    r.kind = std::string(kind);
    r.status = std::string(PoseStatus::error);
    r.requestRevision = 1;
    r.message = "The pose detector is not available in this build.";
    return r;
}
}  // namespace

PoseResult VisionPoseEstimator::estimate2D(const platform::Raster&, const PixelRect&) {
    return unavailable(PoseKind::twoD);
}

PoseResult VisionPoseEstimator::estimate3D(const platform::Raster&, const PixelRect&) {
    return unavailable(PoseKind::threeD);
}

}  // namespace torvane
