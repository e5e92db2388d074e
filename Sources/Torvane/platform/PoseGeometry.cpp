#include "Torvane/platform/PoseGeometry.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace torvane::platform {

ScoredPoint RotatedSquare::toImage(double u, double v, double out) const {
    const double k = side / out;
    const double exX = -upY, exY = upX, eyX = -upX, eyY = -upY;  // the region's axes; y runs down the body
    const double du = u - out / 2.0, dv = v - out / 2.0;
    return {centerX + k * (du * exX + dv * eyX), centerY + k * (du * exY + dv * eyY), 0};
}

ScoredPoint RotatedSquare::toRegion(double x, double y, double out) const {
    const double k = out / side;
    const double exX = -upY, exY = upX, eyX = -upX, eyY = -upY;
    const double dx = x - centerX, dy = y - centerY;
    return {out / 2.0 + k * (dx * exX + dy * exY), out / 2.0 + k * (dx * eyX + dy * eyY), 0};
}

RotatedSquare RotatedSquare::turned(double degrees) const {
    const double a = degrees * std::numbers::pi / 180, c = std::cos(a), s = std::sin(a);
    RotatedSquare r = *this;
    r.upX = c * upX - s * upY;
    r.upY = s * upX + c * upY;
    return r;
}

CocoPose swappedSides(const CocoPose& pose) {
    CocoPose out = pose;
    for (std::size_t i = 1; i + 1 < pose.size(); i += 2) std::swap(out[i], out[i + 1]);
    return out;
}

// 5 layers, strides 8, 16, 32, 32, 32, aspect ratio 1 plus one interpolated anchor per
// layer, fixed anchor size, offset 0.5. Layers of one stride share a feature map.
std::vector<Anchor> poseDetectorAnchors(int inputSize) {
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
        int size = (inputSize + strides[layer] - 1) / strides[layer];
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x)
                for (int k = 0; k < perCell; ++k) anchors.push_back({(x + 0.5) / size, (y + 0.5) / size});
        layer = last;
    }
    return anchors;
}

double overlap(const PersonDetection& a, const PersonDetection& b) {
    double x0 = std::max(a.centerX - a.width / 2, b.centerX - b.width / 2);
    double x1 = std::min(a.centerX + a.width / 2, b.centerX + b.width / 2);
    double y0 = std::max(a.centerY - a.height / 2, b.centerY - b.height / 2);
    double y1 = std::min(a.centerY + a.height / 2, b.centerY + b.height / 2);
    double inter = std::max(0.0, x1 - x0) * std::max(0.0, y1 - y0);
    double uni = a.width * a.height + b.width * b.height - inter;
    return uni > 0 ? inter / uni : 0;
}

std::vector<PersonDetection> weightedSuppression(std::vector<PersonDetection> candidates, double threshold) {
    std::stable_sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) { return a.score > b.score; });
    std::vector<PersonDetection> kept;
    std::vector<bool> used(candidates.size(), false);
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (used[i]) continue;
        PersonDetection sum{};
        double total = 0;
        for (std::size_t j = i; j < candidates.size(); ++j) {
            if (used[j] || (j != i && overlap(candidates[i], candidates[j]) <= threshold)) continue;
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

double sigmoid(double x) { return 1.0 / (1.0 + std::exp(-std::clamp(x, -100.0, 100.0))); }

RotatedSquare paddedSquare(int width, int height) {
    return {width / 2.0, height / 2.0, static_cast<double>(std::max(width, height)), 0, -1};
}

CocoPose mergedMirrorPasses(const CocoPose& direct, const CocoPose& mirrored, double agreeDistance) {
    CocoPose out{};
    for (std::size_t i = 0; i < out.size(); ++i) {
        const ScoredPoint &a = direct[i], &b = mirrored[i];
        const double total = a.score + b.score;
        if (std::hypot(a.x - b.x, a.y - b.y) <= agreeDistance && total > 0)
            out[i] = {(a.x * a.score + b.x * b.score) / total, (a.y * a.score + b.y * b.score) / total, 0};
        else
            out[i] = a.score >= b.score ? a : b;
        out[i].score = total / 2;
    }
    return out;
}

int countPeople(const std::vector<double>& sizes, double share, double smallest) {
    double largest = 0;
    for (double s : sizes) largest = std::max(largest, s);
    return static_cast<int>(std::count_if(sizes.begin(), sizes.end(), [&](double s) { return s >= smallest && s >= share * largest; }));
}

double calibrated(double score, double threshold) {
    if (!(threshold > 0 && threshold < 1) || !(score > 0)) return score;
    return score < threshold ? 0.2 * score / threshold : 0.2 + 0.8 * (score - threshold) / (1 - threshold);
}

void doubtCoincidentSides(CocoPose& pose, double distance, double score) {
    for (std::size_t left = leftShoulder; left + 1 < pose.size(); left += 2) {
        ScoredPoint &l = pose[left], &r = pose[left + 1];
        if (std::hypot(l.x - r.x, l.y - r.y) > distance) continue;
        l.score = std::min(l.score, score);
        r.score = std::min(r.score, score);
    }
}

bool sidesTraded(const CocoPose& k, const std::array<ScoredPoint, 4>& torso, double minScore) {
    double same = 0, traded = 0;
    bool compared = false;
    for (int pair = 0; pair < 2; ++pair) {
        const ScoredPoint& l = k[static_cast<std::size_t>(pair ? leftHip : leftShoulder)];
        const ScoredPoint& r = k[static_cast<std::size_t>(pair ? rightHip : rightShoulder)];
        if (l.score < minScore || r.score < minScore) continue;
        const ScoredPoint &tl = torso[static_cast<std::size_t>(2 * pair)], &tr = torso[static_cast<std::size_t>(2 * pair + 1)];
        same += std::hypot(tl.x - l.x, tl.y - l.y) + std::hypot(tr.x - r.x, tr.y - r.y);
        traded += std::hypot(tl.x - r.x, tl.y - r.y) + std::hypot(tr.x - l.x, tr.y - l.y);
        compared = true;
    }
    return compared && traded < same;
}

std::optional<RotatedSquare> regionFromJoints(const CocoPose& k, double minScore, double scale) {
    double hx = (k[leftHip].x + k[rightHip].x) / 2, hy = (k[leftHip].y + k[rightHip].y) / 2;
    double sx = (k[leftShoulder].x + k[rightShoulder].x) / 2, sy = (k[leftShoulder].y + k[rightShoulder].y) / 2;
    double ux = sx - hx, uy = sy - hy;
    double length = std::hypot(ux, uy);
    if (!(length > 0) || !std::isfinite(length)) return std::nullopt;
    double radius = length * 1.5;  // at least the head above the shoulders
    for (const auto& p : k)
        if (p.score > minScore) radius = std::max(radius, std::hypot(p.x - hx, p.y - hy));
    return RotatedSquare{hx, hy, 2 * radius * scale, ux / length, uy / length};
}

std::optional<RotatedSquare> alignedRegion(const ScoredPoint& hips, const ScoredPoint& scalePoint, double scale) {
    double ux = scalePoint.x - hips.x, uy = scalePoint.y - hips.y;
    double length = std::hypot(ux, uy);
    if (!(length > 0) || !std::isfinite(length)) return std::nullopt;
    return RotatedSquare{hips.x, hips.y, 2 * length * scale, ux / length, uy / length};
}

}  // namespace torvane::platform
