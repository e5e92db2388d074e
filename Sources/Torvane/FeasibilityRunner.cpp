#include "Torvane/FeasibilityRunner.h"

#include <functional>
#include <future>
#include <map>
#include <memory>

#include "Torvane/ContentHash.h"
#include "Torvane/Dates.h"
#include "Torvane/ImageInput.h"
#include "Torvane/InspectionRenderer.h"
#include "Torvane/Json.h"
#include "Torvane/SessionManifest.h"
#include "Torvane/platform/FileSystem.h"
#include "Torvane/platform/System.h"

namespace torvane {

namespace fs = std::filesystem;

namespace {

constexpr const char* existsMessage =
    "Output directory already exists; choose a new run directory to preserve evidence.";

// "out/" and "out" name the same folder; the creation below needs the last component.
fs::path withoutTrailingSeparators(const fs::path& path) {
    std::string text = path.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

// Creates the run folder and its missing parents. The final folder is made with one
// exclusive mkdir, so a folder that appears between the check and the creation (another
// run racing for the same name) is refused rather than silently shared.
void createRunFolder(const fs::path& folder) {
    std::error_code ignored;
    if (fs::exists(fs::symlink_status(folder, ignored))) throw PoseError(PoseErrorCode::outputExists, existsMessage);
    if (folder.has_parent_path()) fs::create_directories(folder.parent_path());
    if (!fs::create_directory(folder)) throw PoseError(PoseErrorCode::outputExists, existsMessage);
}

std::map<std::string, Point2> predictedPoints(const PoseResult& result, bool confidentOnly) {
    std::map<std::string, Point2> points;
    for (const auto& joint : result.joints) {
        if (confidentOnly && !(joint.confidence2D.value_or(0) >= JointResult::visibleConfidence)) continue;
        points.emplace(joint.name, joint.point);
    }
    return points;
}

// A rider whose pictures may still be encoding on worker threads.
struct PendingRider {
    CropReport report;
    std::vector<std::pair<fs::path, std::future<platform::EncodedPNG>>> pictures;  // 3-D first
};

// Draws and encodes one picture on a worker thread. The panel is handed over so that the
// photo is freed as soon as the last picture of the rider has been drawn.
std::future<platform::EncodedPNG> encodeLater(platform::Raster panelImage, const RiderInput& rider, PoseResult pose) {
    return std::async(std::launch::async, [image = std::move(panelImage), panel = rider.panel, crop = rider.crop,
                                           annotations = rider.annotations, pose = std::move(pose)]() mutable {
        return InspectionRenderer::encode(std::move(image), panel, crop, pose, annotations);
    });
}

// Decoding, detection and the landmark checks happen here, on the caller's thread; the
// pictures are drawn and encoded by workers. `finishPrevious` is called once the photo has
// been decoded and detected, before this rider's pictures take their memory.
void analyseRider(PendingRider& pending, const PairInput& pair, const RiderInput& rider, const fs::path& manifestPath,
                  const fs::path& outputDirectory, const PoseEstimates& estimates,
                  const std::function<void()>& finishPrevious) {
    CropReport& report = pending.report;
    const ImageInput input = ImageInput::load(SessionManifest::assetURL(pair, &rider, manifestPath));
    report.sourceHash = input.sha256;

    const platform::Raster cropImage = input.cropped(rider.crop);
    const platform::Raster panelImage = input.cropped(rider.panel);

    auto [twoD, threeD] = estimates.both(cropImage, rider.crop);
    report.threeD = std::move(threeD);
    finishPrevious();
    // Named by the detector that ran rather than by the text the result carries, so the
    // names always match the page's links and never leave the run folder.
    auto path = [&](std::string_view kind) {
        return outputDirectory / (pair.id + "-" + rider.role + "-" + std::string(kind) + ".png");
    };
    pending.pictures.emplace_back(path(PoseKind::threeD), encodeLater(panelImage, rider, *report.threeD));
    report.twoD = std::move(twoD);

    report.localization3D =
        Localization::evaluate(predictedPoints(*report.threeD, false), rider.annotations, rider.torsoLength);
    report.localization2D =
        Localization::evaluate(predictedPoints(*report.twoD, true), rider.annotations, rider.torsoLength);
    pending.pictures.emplace_back(path(PoseKind::twoD), encodeLater(panelImage, rider, *report.twoD));
}

std::string statusText(const std::optional<PoseResult>& result) { return result ? result->status : "unavailable"; }

// Writes the rider's pictures in order (the 2-D picture only after the 3-D one was written),
// tells its progress line and appends its report.
void finish(PendingRider& pending, std::vector<CropReport>& crops, const FeasibilityRunner::Progress& progress) {
    CropReport& report = pending.report;
    for (auto& [path, picture] : pending.pictures) {
        try {
            InspectionRenderer::save(picture.get(), path);
        } catch (const std::exception& e) {
            report.error = describeError(e);
            break;
        }
    }
    pending.pictures.clear();  // waits for a picture that is no longer wanted
    if (progress)
        progress(report.pairID + ' ' + report.role + ": 3D=" + statusText(report.threeD) +
                 " 2D=" + statusText(report.twoD));
    crops.push_back(std::move(report));
}

}  // namespace

FeasibilityReport FeasibilityRunner::run(const fs::path& manifestPath, const fs::path& outputDirectory,
                                         const PoseEstimates& estimates, const Progress& progress,
                                         const platform::Env& env) {
    // The report vouches for the manifest text it was made from, not for whatever the
    // file holds when the run ends.
    std::string manifestBytes;
    const SessionManifest manifest = SessionManifest::load(manifestPath, &manifestBytes);
    const fs::path folder = withoutTrailingSeparators(outputDirectory);
    createRunFolder(folder);

    // Riders are analysed one after another; only a rider's two pictures are drawn and
    // encoded on worker threads, overlapping each other and the next rider's decoding and
    // 3-D detection. A rider's pictures start only once the previous rider's are written,
    // so memory holds at most one rider's pictures and the next photo. The run returns when
    // every file is in place.
    std::vector<CropReport> crops;
    std::unique_ptr<PendingRider> previous;
    auto finishPrevious = [&] {
        if (previous) finish(*previous, crops, progress);
        previous.reset();
    };
    for (const auto& pair : manifest.pairs) {
        for (const auto& rider : pair.riders) {
            auto pending = std::make_unique<PendingRider>();
            CropReport& report = pending->report;
            report.pairID = pair.id;
            report.role = rider.role;
            report.rider = rider.rider;
            report.crop = rider.crop;
            try {
                analyseRider(*pending, pair, rider, manifestPath, folder, estimates, finishPrevious);
            } catch (const std::exception& e) {
                report.error = describeError(e);
                pending->pictures.clear();  // a failure before the pictures means none is written
            }
            finishPrevious();
            previous = std::move(pending);
        }
    }
    finishPrevious();

    FeasibilityReport report;
    report.schemaVersion = 1;
    report.session = manifest.session;
    report.annotationProvenance = manifest.annotationProvenance;
    report.manifestHash = contentHash(manifestBytes);
    report.operatingSystem = platform::operatingSystemVersion();
    report.machineArchitecture = platform::machineArchitecture();
    report.generatedAt = iso8601(env.now());
    report.crops = std::move(crops);

    // Encoded whole before anything is written: a number JSON cannot carry fails here
    // and leaves no results.json at all.
    platform::writeFileAtomically(folder / "results.json", json::pretty(report), env);
    platform::writeFileAtomically(folder / "index.html", html(report), env);
    return report;
}

}  // namespace torvane
