// The body-pose detector as the estimator sees it: one run per image, a reported revision
// and a list of observations that answer questions about named joints. The platform's
// detector (PoseModels) produces these; tests script them.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace torvane::platform {

// A failure of the detector or of a question put to it; what() is the platform's wording.
class DetectorError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A 2-D joint: normalised to the analysed image, origin bottom-left, y up.
struct RecognizedPoint {
    double x = 0;
    double y = 0;
    float confidence = 0;
};

struct Observation2D {
    std::map<std::string, RecognizedPoint> joints;  // by detector joint name

    // Throws DetectorError when the detector cannot answer for that joint.
    RecognizedPoint recognizedPoint(const std::string& joint) const;
};

// A 3-D joint: its 4x4 pose (column by column; the translation is entries 12..14), its
// parent's detector joint name, and its position projected into the analysed image
// (normalised, origin bottom-left).
struct RecognizedPoint3D {
    std::array<float, 16> pose{};
    std::optional<std::string> parent;
    double imageX = 0;
    double imageY = 0;
};

struct Observation3D {
    std::map<std::string, RecognizedPoint3D> joints;  // by detector joint name
    float bodyHeight = 0;
    bool heightMeasured = false;
    std::array<float, 16> cameraOrigin{};  // column by column

    // Throws DetectorError when the detector cannot answer for that joint.
    const RecognizedPoint3D& recognizedPoint(const std::string& joint) const;
};

struct DetectorRun2D {
    std::int64_t revision = 1;
    std::optional<std::vector<Observation2D>> observations;  // in the detector's order
};

struct DetectorRun3D {
    std::int64_t revision = 1;
    std::optional<std::vector<Observation3D>> observations;
};

}  // namespace torvane::platform
