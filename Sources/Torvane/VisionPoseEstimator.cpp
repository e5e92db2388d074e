#include "Torvane/VisionPoseEstimator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <memory>

#include "Torvane/platform/PoseModels.h"

namespace torvane {

namespace {

// The revision the estimator asks each detector for.
constexpr std::int64_t requestedRevision = 1;

using Clock = std::chrono::steady_clock;

// Every result starts here: the outcome, the revision the detector reported and the time
// since `start`, with no joints and no people.
PoseResult result(std::string_view kind, std::int64_t revision, Clock::time_point start, std::string_view status,
                  std::optional<std::string> message = std::nullopt) {
    // `start` may lie before the call: see assemble's `earlierSeconds`.
    PoseResult r;
    r.kind = std::string(kind);
    r.status = std::string(status);
    r.requestRevision = revision;
    r.durationSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.message = std::move(message);
    return r;
}

std::string describe(const std::exception& e) {
    std::string text = e.what();
    return text.empty() ? "The pose detector failed." : text;
}

// One detector run: nobody is "noPose", a failure anywhere is "error" with no joints, and
// `build` turns the described person into the result.
template <class Run, class Build>
PoseResult assemble(std::string_view kind, const std::function<Run()>& perform, Build build, double earlierSeconds) {
    std::int64_t revision = requestedRevision;
    const auto start = Clock::now() - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(earlierSeconds));
    try {
        Run run = perform();
        revision = run.revision;
        if (run.people < 2 && !run.pose) return result(kind, revision, start, PoseStatus::noPose);
        if (run.pose && !(run.imageWidth > 0 && run.imageHeight > 0))
            throw platform::DetectorError("The pose detector did not report the size of the analysed image.");
        return build(run, start);
    } catch (const std::exception& e) {
        return result(kind, revision, start, PoseStatus::error, describe(e));
    }
}

// A point in pixels of the analysed image, in photo pixels.
template <class Run>
Point2 inPhoto(const PixelRect& crop, const Run& run, double x, double y) {
    return crop.sourcePoint(x / run.imageWidth, 1.0 - y / run.imageHeight);
}

// Checked before any detector sees the picture: an empty or strip-like crop would shrink
// to nothing on the way to the networks' square inputs.
void requireDetectable(const platform::Raster& image) {
    const double shorter = std::min(image.width(), image.height());
    const double longer = std::max(image.width(), image.height());
    if (!(shorter >= 1) || shorter < longer * VisionPoseEstimator::minimumAspect)
        throw PoseError(PoseErrorCode::invalidCrop, VisionPoseEstimator::degenerateCropMessage);
}

}  // namespace

PoseResult VisionPoseEstimator::assemble2D(const PixelRect& crop, const std::function<platform::DetectorRun2D()>& perform,
                                           double earlierSeconds) {
    return assemble(PoseKind::twoD, perform, [&](const platform::DetectorRun2D& run, Clock::time_point start) {
        // The duration is fixed before any joint is read.
        PoseResult r = result(PoseKind::twoD, run.revision, start, PoseStatus::needsReview);
        r.candidateCount = std::max<std::int64_t>(run.people, 1);
        if (run.people >= 2) {
            r.status = std::string(PoseStatus::ambiguous);
            r.message = std::string(PoseStatus::ambiguousMessage);
            return r;
        }
        for (auto name : jointNames2D) {
            platform::RecognizedPoint p = run.pose->recognizedPoint(std::string(name));
            if (!(p.confidence > 0)) continue;  // also drops NaN
            JointResult j;
            j.name = std::string(name);
            j.point = inPhoto(crop, run, p.x, p.y);
            j.confidence2D = static_cast<double>(p.confidence);
            r.joints.push_back(std::move(j));
        }
        return r;
    }, earlierSeconds);
}

PoseResult VisionPoseEstimator::assemble3D(const PixelRect& crop, const std::function<platform::DetectorRun3D()>& perform,
                                           double earlierSeconds) {
    return assemble(PoseKind::threeD, perform, [&](const platform::DetectorRun3D& run, Clock::time_point start) {
        if (!run.pose) return result(PoseKind::threeD, run.revision, start, PoseStatus::noPose);
        const platform::Observation3D& first = *run.pose;
        std::vector<JointResult> joints;
        for (auto name : jointNames3D) {
            const platform::RecognizedPoint3D& p = first.recognizedPoint(std::string(name));
            JointResult j;
            j.name = std::string(name);
            j.point = inPhoto(crop, run, p.imageX, p.imageY);
            j.position3D = std::vector<double>(p.position.begin(), p.position.end());
            for (auto candidate : jointNames3D)
                if (p.parent && candidate == *p.parent) j.parent = std::string(candidate);
            joints.push_back(std::move(j));
        }
        // The duration includes the joint look-ups.
        PoseResult r = result(PoseKind::threeD, run.revision, start, PoseStatus::needsReview);
        r.joints = std::move(joints);
        r.bodyHeight = static_cast<double>(first.bodyHeight);
        r.heightEstimation = first.heightMeasured ? "measured" : "reference";
        r.candidateCount = std::max<std::int64_t>(run.people, 1);
        r.cameraOrigin = std::vector<double>(first.cameraOrigin.begin(), first.cameraOrigin.end());
        return r;
    }, earlierSeconds);
}

PoseResult VisionPoseEstimator::estimate2D(const platform::Raster& image, const PixelRect& crop,
                                           const platform::PoseModels& models) {
    return assemble2D(crop, [&] {
        requireDetectable(image);
        return models.detect2D(image);
    });
}

PoseResult VisionPoseEstimator::estimate3D(const platform::Raster& image, const PixelRect& crop,
                                           const platform::PoseModels& models) {
    return assemble3D(crop, [&] {
        requireDetectable(image);
        return models.detect3D(image);
    });
}

std::pair<PoseResult, PoseResult> VisionPoseEstimator::estimateBoth(const platform::Raster& image, const PixelRect& crop,
                                                                    const platform::PoseModels& models) {
    const auto start = Clock::now();
    std::shared_ptr<const platform::PoseModels::Look> look;
    std::exception_ptr failure;
    try {
        requireDetectable(image);
        look = models.lookAt(image);
    } catch (...) {
        failure = std::current_exception();
    }
    const double shared = std::chrono::duration<double>(Clock::now() - start).count();
    auto use = [&] {
        if (failure) std::rethrow_exception(failure);
        return look;
    };
    PoseResult twoD = assemble2D(crop, [&] { return models.detect2D(*use()); }, shared);
    PoseResult threeD = assemble3D(crop, [&] { return models.detect3D(*use()); }, shared);
    return {std::move(twoD), std::move(threeD)};
}

std::pair<PoseResult, PoseResult> PoseEstimates::both(const platform::Raster& image, const PixelRect& crop) const {
    auto own = [](const auto& f, Estimate e) {
        const Estimate* target = f.template target<Estimate>();
        return target && *target == e;
    };
    if (own(estimate2D, VisionPoseEstimator::estimate2D) && own(estimate3D, VisionPoseEstimator::estimate3D))
        return VisionPoseEstimator::estimateBoth(image, crop);
    PoseResult twoD = estimate2D(image, crop);
    return {std::move(twoD), estimate3D(image, crop)};
}

// The shared models load once per process, before the first run's clock starts.
PoseResult VisionPoseEstimator::estimate2D(const platform::Raster& image, const PixelRect& crop) {
    return estimate2D(image, crop, platform::PoseModels::shared());
}

PoseResult VisionPoseEstimator::estimate3D(const platform::Raster& image, const PixelRect& crop) {
    return estimate3D(image, crop, platform::PoseModels::shared());
}

std::pair<PoseResult, PoseResult> VisionPoseEstimator::estimateBoth(const platform::Raster& image, const PixelRect& crop) {
    return estimateBoth(image, crop, platform::PoseModels::shared());
}

}  // namespace torvane
