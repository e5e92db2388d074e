// The body-pose detector as the estimator sees it: one run per image that reports its
// revision, how many people it saw, and the joints of the one person it describes, in
// pixels of the analysed image (origin top-left, y down). The platform's detector
// (PoseModels) produces these; tests script them.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

namespace torvane::platform {

// A failure of the detector or of a question put to it; what() is the platform's wording.
class DetectorError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A 2-D joint with its confidence from 0 to 1.
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

// A 3-D joint: its position in metres (x right, y up, z towards the camera, origin at the
// hips), its parent's detector joint name, and where it lies in the analysed image.
struct RecognizedPoint3D {
    std::array<double, 3> position{};
    std::optional<std::string> parent;
    double imageX = 0;
    double imageY = 0;
};

struct Observation3D {
    std::map<std::string, RecognizedPoint3D> joints;  // by detector joint name
    float bodyHeight = 0;
    bool heightMeasured = false;
    std::array<float, 16> cameraOrigin{};  // the camera's 4x4 pose, column by column

    // Throws DetectorError when the detector cannot answer for that joint.
    const RecognizedPoint3D& recognizedPoint(const std::string& joint) const;
};

struct DetectorRun2D {
    std::int64_t revision = 1;
    int imageWidth = 0, imageHeight = 0;  // of the analysed image
    int people = 0;
    std::optional<Observation2D> pose;  // the one person's joints; only when people is 1
};

struct DetectorRun3D {
    std::int64_t revision = 1;
    int imageWidth = 0, imageHeight = 0;
    int people = 0;
    std::optional<Observation3D> pose;  // the first person's joints
};

}  // namespace torvane::platform
