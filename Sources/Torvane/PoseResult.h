// One detector run on one rider crop and the joints it found.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Torvane/Geometry.h"

namespace torvane {

struct JointResult {
    std::string name;
    Point2 point;
    std::optional<std::vector<double>> position3D;  // 3-D results only: x, y, z
    std::optional<double> confidence2D;             // 2-D results only: (0, 1]
    std::optional<std::string> parent;              // 3-D results only

    // 2-D joints below this confidence are hidden in the pictures and left out of the
    // landmark check and the review's seeds; a joint at exactly this value counts.
    static constexpr double visibleConfidence = 0.2;
    // Shown and used: a 3-D joint (no confidence) or a 2-D joint at the threshold or above.
    bool isVisible() const { return !confidence2D || *confidence2D >= visibleConfidence; }

    bool operator==(const JointResult&) const = default;
    template <class V> void fields(V& v) {
        v("confidence2D", confidence2D); v("name", name); v("parent", parent);
        v("point", point); v("position3D", position3D);
    }
};

namespace PoseKind {
inline constexpr std::string_view twoD = "2D";
inline constexpr std::string_view threeD = "3D";
}  // namespace PoseKind

namespace PoseStatus {
inline constexpr std::string_view needsReview = "needsReview";
inline constexpr std::string_view ambiguous = "ambiguous";
inline constexpr std::string_view noPose = "noPose";
inline constexpr std::string_view error = "error";
inline constexpr std::string_view ambiguousMessage = "Multiple 2D candidates; tighten the selected rider crop.";
}  // namespace PoseStatus

struct PoseResult {
    std::string kind;
    std::string status;
    std::int64_t requestRevision = 0;
    double durationSeconds = 0;
    std::vector<JointResult> joints;
    std::optional<std::string> message;
    std::optional<double> bodyHeight;
    std::optional<std::string> heightEstimation;
    std::int64_t candidateCount = 0;
    std::optional<std::vector<double>> cameraOrigin;  // 4x4, column by column

    // The joint with that name, if the result has it.
    const JointResult* joint(std::string_view name) const;

    bool operator==(const PoseResult&) const = default;
    template <class V> void fields(V& v) {
        v("bodyHeight", bodyHeight); v("cameraOrigin", cameraOrigin); v("candidateCount", candidateCount);
        v("durationSeconds", durationSeconds); v("heightEstimation", heightEstimation); v("joints", joints);
        v("kind", kind); v("message", message); v("requestRevision", requestRevision); v("status", status);
    }
};

// The joints each detector is asked for, in result order.
inline constexpr std::array<std::string_view, 15> jointNames2D = {
    "root", "neck", "nose", "left_shoulder", "left_elbow", "left_wrist", "right_shoulder", "right_elbow",
    "right_wrist", "left_hip", "left_knee", "left_ankle", "right_hip", "right_knee", "right_ankle"};

inline constexpr std::array<std::string_view, 17> jointNames3D = {
    "root", "spine", "center_shoulder", "center_head", "top_head", "left_shoulder", "left_elbow", "left_wrist",
    "right_shoulder", "right_elbow", "right_wrist", "left_hip", "left_knee", "left_ankle", "right_hip",
    "right_knee", "right_ankle"};

// Every joint name that exists; a joint's ID is its 1-based position here, shared by the
// pictures, the inspection page and the review.
inline constexpr std::array<std::string_view, 19> jointNames = {
    "root", "spine", "center_shoulder", "center_head", "top_head", "left_shoulder", "left_elbow",
    "left_wrist", "right_shoulder", "right_elbow", "right_wrist", "left_hip", "left_knee", "left_ankle",
    "right_hip", "right_knee", "right_ankle", "neck", "nose"};

// A joint's ID, or absent for a name that is not in jointNames.
constexpr std::optional<int> jointID(std::string_view name) {
    for (std::size_t i = 0; i < jointNames.size(); ++i)
        if (jointNames[i] == name) return static_cast<int>(i + 1);
    return std::nullopt;
}

}  // namespace torvane
