// Measuring the pose estimator on hand-annotated rider photos: per photo and in total, how
// many crops get a pose, how many visible key joints land near the annotated point, how many
// land on the other side's point, and how many hidden joints are shown anyway.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Torvane/Geometry.h"
#include "Torvane/Json.h"
#include "Torvane/PoseResult.h"
#include "Torvane/VisionPoseEstimator.h"

namespace torvane {

// One annotated photo: the crop to detect on, the rider's apparent size in pixels, and the
// key joints on the rider's own sides in photo pixels (absent = hidden by bike or body).
struct RiderAnnotation {
    PixelRect crop;
    double height = 0;
    std::map<std::string, std::optional<Point2>> joints;
    std::optional<std::string> notes;

    template <class V> void fields(V& v) { v("crop", crop); v("height", height); v("joints", joints); v("notes", notes); }
};

struct PhotoEvaluation {
    std::string photo;
    std::string status;  // of the estimate
    std::int64_t visibleJoints = 0;
    std::int64_t jointsWithin = 0;   // within the tolerance of the annotated point
    std::int64_t sideSwaps = 0;      // missed, but within the tolerance of the other side's point
    std::int64_t hiddenJoints = 0;
    std::int64_t hiddenShown = 0;    // hidden joints reported as visible
    std::optional<double> medianError;      // % of the rider's size; absent when most joints are missing
    std::map<std::string, double> errors;  // % of the rider's size, visible joints that are shown

    template <class V> void fields(V& v) {
        v("errors", errors); v("hiddenJoints", hiddenJoints); v("hiddenShown", hiddenShown); v("jointsWithin", jointsWithin);
        v("medianError", medianError); v("photo", photo); v("sideSwaps", sideSwaps); v("status", status);
        v("visibleJoints", visibleJoints);
    }
};

struct EvaluationReport {
    std::string kind;
    std::int64_t photos = 0;
    std::int64_t proposals = 0;  // crops with a pose ("needsReview")
    std::int64_t visibleJoints = 0;
    std::int64_t jointsWithin = 0;
    std::int64_t sideSwaps = 0;
    std::int64_t hiddenJoints = 0;
    std::int64_t hiddenShown = 0;
    std::optional<double> medianError;  // over every visible joint of every photo
    std::vector<PhotoEvaluation> perPhoto;

    template <class V> void fields(V& v) {
        v("hiddenJoints", hiddenJoints); v("hiddenShown", hiddenShown); v("jointsWithin", jointsWithin); v("kind", kind);
        v("medianError", medianError); v("perPhoto", perPhoto); v("photos", photos); v("proposals", proposals);
        v("sideSwaps", sideSwaps); v("visibleJoints", visibleJoints);
    }
};

struct RiderEvaluation {
    // The joints that are annotated and scored.
    static constexpr std::array<std::string_view, 12> keyJoints = {
        "left_shoulder", "right_shoulder", "left_elbow", "right_elbow", "left_wrist", "right_wrist",
        "left_hip", "right_hip", "left_knee", "right_knee", "left_ankle", "right_ankle"};
    // A joint counts as found within this share of the rider's size.
    static constexpr double tolerance = 0.1;
    // Joints below this 2-D confidence are drawn as hidden.
    static constexpr double shownConfidence = 0.2;

    // Annotations by photo file name. Fails with a sentence naming the photo when a crop
    // is not whole pixels, the size is not positive or a joint name is unknown.
    static std::map<std::string, RiderAnnotation> parse(const json::Value& document);

    // Scores one estimate against its annotation. A visible joint counts only when it is
    // shown (a joint drawn as hidden is not found); one that is not counts as an error
    // larger than any other.
    static PhotoEvaluation score(const std::string& photo, const RiderAnnotation& annotation, const PoseResult& pose);
    static EvaluationReport total(std::string_view kind, std::vector<PhotoEvaluation> photos);

    // Runs the estimator of `kind` on every annotated crop of the photos in `photoFolder`,
    // in name order; with `pictures`, writes "<photo>-<kind>.png" there for each photo: the
    // annotation and the detection side by side.
    static EvaluationReport run(const std::map<std::string, RiderAnnotation>& annotations,
                                const std::filesystem::path& photoFolder, std::string_view kind,
                                const std::optional<std::filesystem::path>& pictures, const PoseEstimates& estimates = {});

    // The report as a plain-text table, one line per photo and a total.
    static std::string table(const EvaluationReport& report);
};

}  // namespace torvane
