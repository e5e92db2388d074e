// The pose detector's geometry, apart from any network: anchors and suppression of the
// person detector, the square regions the networks look at, and the regions made from
// joints. Points are pixels of the analysed image (origin top-left, y down).
#pragma once

#include <array>
#include <optional>
#include <vector>

namespace torvane::platform {

// A point with a score.
struct ScoredPoint {
    double x = 0;
    double y = 0;
    double score = 0;
};

// One person found by the BlazePose detector (a face box and four body keypoints: hip
// centre, full-body scale point, shoulder centre, upper-body scale point).
struct PersonDetection {
    double score = 0;
    double centerX = 0, centerY = 0, width = 0, height = 0;
    std::array<ScoredPoint, 4> keypoints{};
};

// A rotated square region: centre, side and the unit vector along which the body's "up"
// (hips to shoulders) points. Upright: up = (0, -1).
struct RotatedSquare {
    double centerX = 0, centerY = 0, side = 0;
    double upX = 0, upY = -1;

    // A point of the region's out x out input (continuous pixels) in image pixels, and back.
    ScoredPoint toImage(double u, double v, double out) const;
    ScoredPoint toRegion(double x, double y, double out) const;
    // The same square turned by `degrees` (clockwise on screen) about its centre.
    RotatedSquare turned(double degrees) const;
};

// MoveNet's keypoint order (COCO).
inline constexpr std::array<const char*, 17> cocoKeypoints = {
    "nose", "left_eye", "right_eye", "left_ear", "right_ear", "left_shoulder", "right_shoulder",
    "left_elbow", "right_elbow", "left_wrist", "right_wrist", "left_hip", "right_hip",
    "left_knee", "right_knee", "left_ankle", "right_ankle"};
enum Coco { nose = 0, leftEar = 3, rightEar = 4, leftShoulder = 5, rightShoulder = 6, leftHip = 11, rightHip = 12 };
using CocoPose = std::array<ScoredPoint, 17>;

// The same keypoints seen in a mirror: each left joint takes its right partner's place.
CocoPose swappedSides(const CocoPose& pose);

struct Anchor {
    double x, y;  // 0..1 of the input
};
// MediaPipe's SSD anchors for the pose detector on an input of `inputSize` pixels.
std::vector<Anchor> poseDetectorAnchors(int inputSize);

// Intersection over union of two detections' boxes.
double overlap(const PersonDetection& a, const PersonDetection& b);
// MediaPipe's weighted non-maximum suppression: each kept detection is the score-weighted
// mean of the candidates that overlap the best remaining one by more than `threshold`.
std::vector<PersonDetection> weightedSuppression(std::vector<PersonDetection> candidates, double threshold);

double sigmoid(double x);

// The image padded to a square around its centre (aspect kept).
RotatedSquare paddedSquare(int width, int height);

// A MoveNet pass and the pass on the mirror image (already mapped back and with its sides
// swapped back) as one pose: where the two lie within `agreeDistance` of each other the
// score-weighted mean, elsewhere the surer one's point; the score is always the mean of
// both, so a joint the two passes guess differently loses confidence.
CocoPose mergedMirrorPasses(const CocoPose& direct, const CocoPose& mirrored, double agreeDistance);

// How many of the people found count, from their sizes (shares of the analysed square):
// those at least `smallest` and at least `share` of the largest. Riders fill their crop;
// spectators, reflections and figures on billboards are small.
int countPeople(const std::vector<double>& sizes, double share, double smallest);

// A score mapped so that `threshold` becomes 0.2 (piecewise linear, 0 and 1 stay), for
// joints whose raw scores stay high when they are hidden.
double calibrated(double score, double threshold);

// Left and right joints of one kind (shoulders to ankles) that lie within `distance` of each
// other keep at most `score`: the network has put both sides on one spot (one limb behind the
// other, or both guessed there), so it cannot say which side is seen.
void doubtCoincidentSides(CocoPose& pose, double distance, double score);

// Whether a 3-D result's torso (left shoulder, right shoulder, left hip, right hip, in image
// pixels) has its sides the other way round from MoveNet's joints: true when MoveNet's
// shoulders and hips above `minScore` lie closer to the opposite side's points.
bool sidesTraded(const CocoPose& moveNet, const std::array<ScoredPoint, 4>& torso, double minScore);

// The square around a body from its joints: centred on the hips, turned so that hips to
// shoulders points up, holding every joint above `minScore` (at least 1.5 torso lengths
// around the hips), enlarged by `scale`. Nothing when the torso has no length.
std::optional<RotatedSquare> regionFromJoints(const CocoPose& k, double minScore, double scale);

// MediaPipe's region from a hip centre and a full-body scale point: centred on the hips,
// "up" towards the scale point, side twice their distance, enlarged by `scale`.
std::optional<RotatedSquare> alignedRegion(const ScoredPoint& hips, const ScoredPoint& scalePoint, double scale);

}  // namespace torvane::platform
