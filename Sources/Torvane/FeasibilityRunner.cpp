#include "Torvane/FeasibilityRunner.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <iostream>
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
void analyseRider(PendingRider& pending, const PairInput& pair, const RiderInput& rider, const fs::path& manifestURL,
                  const fs::path& outputDirectory, const PoseEstimates& estimates,
                  const std::function<void()>& finishPrevious) {
    CropReport& report = pending.report;
    const ImageInput input = ImageInput::load(SessionManifest::assetURL(pair, &rider, manifestURL));
    report.sourceHash = input.sha256;

    const platform::Raster cropImage = input.cropped(rider.crop);
    const platform::Raster panelImage = input.cropped(rider.panel);

    auto [twoD, threeD] = estimates.both(cropImage, rider.crop);
    report.threeD = std::move(threeD);
    finishPrevious();
    // Named by the detector that ran rather than by the text the result carries, so the
    // names always match the page's links and never leave the run folder.
    auto url = [&](std::string_view kind) {
        return outputDirectory / (pair.id + "-" + rider.role + "-" + std::string(kind) + ".png");
    };
    pending.pictures.emplace_back(url(PoseKind::threeD), encodeLater(panelImage, rider, *report.threeD));
    report.twoD = std::move(twoD);

    report.localization3D =
        Localization::evaluate(predictedPoints(*report.threeD, false), rider.annotations, rider.torsoLength);
    report.localization2D =
        Localization::evaluate(predictedPoints(*report.twoD, true), rider.annotations, rider.torsoLength);
    pending.pictures.emplace_back(url(PoseKind::twoD), encodeLater(panelImage, rider, *report.twoD));
}

std::string statusText(const std::optional<PoseResult>& result) { return result ? result->status : "unavailable"; }

// Writes the rider's pictures in order (the 2-D picture only after the 3-D one was written),
// prints its progress line and appends its report.
void finish(PendingRider& pending, std::vector<CropReport>& crops) {
    CropReport& report = pending.report;
    for (auto& [url, picture] : pending.pictures) {
        try {
            InspectionRenderer::save(picture.get(), url);
        } catch (const std::exception& e) {
            report.error = describeError(e);
            break;
        }
    }
    pending.pictures.clear();  // waits for a picture that is no longer wanted
    std::cout << report.pairID << ' ' << report.role << ": 3D=" << statusText(report.threeD)
              << " 2D=" << statusText(report.twoD) << '\n'
              << std::flush;
    crops.push_back(std::move(report));
}

}  // namespace

FeasibilityReport FeasibilityRunner::run(const fs::path& manifestURL, const fs::path& outputDirectory,
                                         const PoseEstimates& estimates) {
    // The report vouches for the manifest text it was made from, not for whatever the
    // file holds when the run ends.
    std::string manifestBytes;
    const SessionManifest manifest = SessionManifest::load(manifestURL, &manifestBytes);
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
        if (previous) finish(*previous, crops);
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
                analyseRider(*pending, pair, rider, manifestURL, folder, estimates, finishPrevious);
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
    report.generatedAt = iso8601(std::chrono::system_clock::now());
    report.crops = std::move(crops);

    // Encoded whole before anything is written: a number JSON cannot carry fails here
    // and leaves no results.json at all.
    platform::writeFileAtomically(folder / "results.json", json::pretty(report));
    platform::writeFileAtomically(folder / "index.html", html(report));
    return report;
}

std::string FeasibilityRunner::escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    // One pass is the same as the four replacements in order (& first), since no
    // replacement produces a character that a later one would replace.
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out.push_back(c);
        }
    }
    return out;
}

namespace {

std::string rows(const std::optional<PoseResult>& result) {
    if (!result) return {};
    std::vector<const JointResult*> joints;
    for (const auto& joint : result->joints) joints.push_back(&joint);
    std::stable_sort(joints.begin(), joints.end(), [](const auto* a, const auto* b) { return a->name < b->name; });
    std::string out;
    for (const auto* joint : joints) {
        auto id = jointID(joint->name);
        char point[128];
        std::snprintf(point, sizeof point, "%.1f, %.1f", joint->point.x, joint->point.y);
        out += "<tr><td>" + (id ? std::to_string(*id) : std::string("?")) + "</td><td>" +
               FeasibilityRunner::escape(joint->name) + "</td><td>" + point + "</td></tr>";
    }
    return out;
}

std::string figure(const CropReport& crop, const std::string& title, const std::string& kind,
                   const std::optional<PoseResult>& result) {
    // A results file can be edited by hand: its IDs are text like any other, escaped.
    const std::string picture = FeasibilityRunner::escape(crop.pairID + "-" + crop.role + "-" + kind + ".png");
    return "<figure><img src=\"" + picture + "\" alt=\"" + title + " " + kind +
           " inspection\"><figcaption>" + kind +
           " \u2014 unreviewed</figcaption><details><summary>Joint key and source pixel coordinates</summary>"
           "<table><tr><th>ID</th><th>Joint</th><th>x, y</th></tr>" +
           rows(result) + "</table></details></figure>";
}

std::string section(const CropReport& crop) {
    const std::string title = FeasibilityRunner::escape(crop.pairID + " \u00b7 " + crop.role + " \u00b7 " + crop.rider);
    auto status = [](const std::optional<PoseResult>& r) {
        return r ? FeasibilityRunner::escape(r->status) : std::string("unavailable");
    };
    std::string note;
    if (crop.error)
        note = *crop.error;
    else if (crop.threeD && crop.threeD->message)
        note = *crop.threeD->message;
    return "<section><h2>" + title + "</h2><p>3D: " + status(crop.threeD) + " \u00b7 2D: " + status(crop.twoD) +
           "</p><p>" + FeasibilityRunner::escape(note) + "</p><div>" + figure(crop, title, "3D", crop.threeD) +
           figure(crop, title, "2D", crop.twoD) + "</div></section>";
}

}  // namespace

std::string FeasibilityRunner::html(const FeasibilityReport& report) {
    std::string page =
        "<!doctype html><html lang=\"en\"><meta charset=\"utf-8\"><meta name=\"viewport\" "
        "content=\"width=device-width,initial-scale=1\"><title>Pose feasibility inspection</title>\n"
        "<style>body{font:16px system-ui;background:#101519;color:#edf1f5;max-width:1000px;margin:32px "
        "auto;padding:16px}section{border-top:1px solid #64748b;padding:16px 0}section "
        "div{display:flex;flex-wrap:wrap;gap:24px}figure{margin:0}img{max-width:100%;image-rendering:auto}"
        "figcaption{padding:8px 0}p{max-width:75ch;color:#ced6df}</style>\n<h1>";
    page += escape(report.session);
    page +=
        "</h1><p>Feasibility inspection only \u2014 no coaching or verified 3D anatomy.</p><p>Yellow: selected rider "
        "crop. Cyan: raw Vision joints (2D points below 0.2 confidence hidden). Numbers: fixed joint IDs shared "
        "across every image and both pose types. Each PNG includes its own legend beside the photo; expand the "
        "table for source coordinates. Left/right always means the rider\u2019s anatomy. Pink circles: provisional "
        "source-only references and their uncertainty. Source pixels are preserved beneath annotations.</p><p>";
    page += escape(report.annotationProvenance);
    page += "</p>";
    for (std::size_t i = 0; i < report.crops.size(); ++i) {
        if (i > 0) page += "\n";
        page += section(report.crops[i]);
    }
    page += "</html>";
    return page;
}

}  // namespace torvane
