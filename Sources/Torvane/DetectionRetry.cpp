#include "Torvane/DetectionRetry.h"

#include "Torvane/Dates.h"
#include "Torvane/ImageInput.h"

namespace torvane {

DetectionRetry::DetectionRetry(PixelRect crop, std::optional<PoseResult> twoD, std::optional<PoseResult> threeD,
                               const platform::Env& env)
    : timestamp(referenceSecondsNow(env)), crop(crop), twoD(std::move(twoD)), threeD(std::move(threeD)) {}

DetectionRetry RetryRequest::run(const PoseEstimates& estimates, const platform::Env& env) const {
    ImageInput photo = ImageInput::load(source);
    if (photo.sha256 != sourceHash) throw PoseError(PoseErrorCode::changedEvidence, "Source photo changed.");
    platform::Raster image = photo.cropped(crop);
    auto [twoD, threeD] = estimates.both(image, crop);
    return DetectionRetry(crop, std::move(twoD), std::move(threeD), env);
}

}  // namespace torvane
