// The platform's body-pose detector on the CPU: MoveNet Thunder for the 2-D joints, the
// BlazePose person detector for counting people, and BlazePose heavy for 3-D landmarks, all
// TF.js graph models run on OpenCV's DNN engine.
#pragma once

#include <array>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Torvane/platform/PoseDetector.h"
#include "Torvane/platform/PoseGeometry.h"
#include "Torvane/platform/Raster.h"
#include "Torvane/platform/TfjsGraph.h"

namespace torvane::platform {

// The folder the build was configured with (scripts/setup.sh installs the models there).
std::filesystem::path defaultPoseModelFolder();

// MoveNet's answer: 17 keypoints (COCO order) merged from the direct and the mirrored pass,
// the number of people whose centres the direct pass saw, and whether it looked at the
// zoomed-out square (because the crop's own square showed nobody to it or to the other view),
// and the network runs that took.
struct MoveNetPose {
    std::array<ScoredPoint, 17> keypoints{};
    int people = 0;
    bool zoomedOut = false;
    int runs = 0;
};

// BlazePose heavy's answer for one region: 33 landmarks in image pixels (score =
// visibility), world landmarks in metres (x right, y up, z towards the camera, origin at
// the hip centre) and the pose presence.
struct BlazePoseLandmarks {
    double presence = 0;
    std::array<ScoredPoint, 33> image{};
    std::array<std::array<double, 3>, 33> world{};
};

class PoseModels {
public:
    struct Impl;

    // The models of the default folder, loaded on first use and kept for the process.
    static const PoseModels& shared();
    // Loads the models of `folder`; never throws: a model that fails to load makes every
    // later question that needs it throw DetectorError naming its file.
    static PoseModels load(const std::filesystem::path& folder);

    // The detector behind the estimator.
    DetectorRun2D detect2D(const Raster& image) const;
    DetectorRun3D detect3D(const Raster& image) const;

    // Both detectors on one image share their first look (the people found and MoveNet's
    // passes): lookAt makes it once (it keeps its own copy of the pixels), the two questions
    // use it. lookAt throws as the detectors do; a failure of MoveNet alone is kept and
    // thrown by the question that needs it.
    struct Look;
    std::shared_ptr<const Look> lookAt(const Raster& image) const;
    DetectorRun2D detect2D(const Look& look) const;
    DetectorRun3D detect3D(const Look& look) const;

    // The steps, for tests and benchmarks. Points are in pixels of `image`.
    std::vector<PersonDetection> detectPeople(const Raster& image) const;
    // MoveNet's passes on the crop with its contrast equalised (as for the 2-D joints) or as it is.
    MoveNetPose moveNet(const Raster& image, bool equalise = true) const;

    // One raw run of a network on an NHWC input of its size (MoveNet: 0..255, the detector
    // -1..1, BlazePose heavy 0..1); the outputs in TensorFlow's order: MoveNet's keypoint heatmap, centre
    // heatmap, regression and offset heads; the detector's 2254 x 13 anchors; BlazePose
    // heavy's landmarks, world landmarks and pose flag.
    enum class Network { moveNet, detector, landmarks };
    std::vector<Tensor> run(Network network, const std::vector<float>& input) const;
    // MoveNet's own decoding of its four heads: 17 keypoints (x, y in 0..1 of its input).
    std::array<ScoredPoint, 17> decodeMoveNet(const std::vector<Tensor>& heads) const;

private:
    Look look(const Raster& image, bool twoDOnly) const;

    std::shared_ptr<const Impl> impl_;
};

}  // namespace torvane::platform
