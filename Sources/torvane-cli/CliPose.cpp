// detect and retry: the pose detectors on one crop of a photo.
#include <filesystem>
#include <iostream>

#include "Cli.h"
#include "Torvane/DetectionRetry.h"
#include "Torvane/ImageInput.h"
#include "Torvane/RiderEvaluation.h"
#include "Torvane/VisionPoseEstimator.h"

namespace torvane::cli {

namespace {

int detect(const Args& a) {
    PixelRect crop = parseRect(a.required("--crop"));
    auto kind = a.optional("--kind");
    if (kind && *kind != PoseKind::twoD && *kind != PoseKind::threeD) throw UsageError("--kind must be 2D or 3D");
    auto photo = ImageInput::loadNamingFile(a.at(0));
    auto image = photo.cropped(crop);
    if (kind == PoseKind::twoD) {
        printRecord(VisionPoseEstimator::estimate2D(image, crop));
    } else if (kind == PoseKind::threeD) {
        printRecord(VisionPoseEstimator::estimate3D(image, crop));
    } else {
        auto [twoD, threeD] = VisionPoseEstimator::estimateBoth(image, crop);
        json::Value out = json::Value::object();
        out["twoD"] = json::encode(twoD);
        out["threeD"] = json::encode(threeD);
        printJson(out);
    }
    return 0;
}

int evaluate(const Args& a) {
    std::string kind = a.optional("--kind").value_or(std::string(PoseKind::twoD));
    if (kind != PoseKind::twoD && kind != PoseKind::threeD) throw UsageError("--kind must be 2D or 3D");
    auto annotations = RiderEvaluation::parse(readJsonFile(a.at(0)));
    std::optional<std::filesystem::path> pictures;
    if (auto folder = a.optional("--pictures")) {
        std::filesystem::create_directories(*folder);
        pictures = *folder;
    }
    auto report = RiderEvaluation::run(annotations, a.at(1), kind, pictures);
    if (a.flag("--json"))
        printRecord(report);
    else
        std::cout << RiderEvaluation::table(report);
    return 0;
}

int retry(const Args& a) {
    RetryRequest request{a.at(0), a.required("--hash"), parseRect(a.required("--crop"))};
    printRecord(request.run());
    return 0;
}

}  // namespace

std::vector<Command> poseCommands() {
    return {
        {"detect", "", "PHOTO --crop X,Y,W,H [--kind 2D|3D]",
         "Run the 2D and 3D pose detectors (or the one of --kind) on a crop of a photo; print the results.", {},
         {"--crop", "--kind"}, 1, detect},
        {"retry", "", "PHOTO --hash SHA256 --crop X,Y,W,H",
         "Re-detect a rider on a new crop of the exact photo with that SHA-256; print the detection retry.", {},
         {"--hash", "--crop"}, 1, retry},
        {"evaluate", "", "ANNOTATIONS_JSON PHOTO_DIR [--kind 2D|3D] [--pictures OUT_DIR] [--json]",
         "Run the pose estimator (2D unless --kind) on every annotated rider crop and score it against the "
         "annotations; --pictures writes the annotation and the detection side by side per photo, --json prints "
         "the scores as JSON.",
         {"--json"}, {"--kind", "--pictures"}, 2, evaluate},
    };
}

}  // namespace torvane::cli
