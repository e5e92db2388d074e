// Inspection pictures: the panel photo with the crop, skeleton, joint numbers and
// annotations drawn over it, and a legend beside it.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Torvane/Geometry.h"
#include "Torvane/Localization.h"
#include "Torvane/PoseResult.h"
#include "Torvane/platform/Canvas.h"
#include "Torvane/platform/Raster.h"

namespace torvane {

struct InspectionRenderer {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 18> bones = {{
        {"root", "left_hip"}, {"root", "right_hip"}, {"root", "spine"}, {"spine", "center_shoulder"},
        {"center_shoulder", "center_head"}, {"center_head", "top_head"}, {"center_shoulder", "left_shoulder"},
        {"center_shoulder", "right_shoulder"}, {"left_shoulder", "right_shoulder"}, {"left_shoulder", "left_elbow"},
        {"left_elbow", "left_wrist"}, {"right_shoulder", "right_elbow"}, {"right_elbow", "right_wrist"},
        {"left_hip", "left_knee"}, {"left_knee", "left_ankle"}, {"right_hip", "right_knee"},
        {"right_knee", "right_ankle"}, {"left_hip", "right_hip"}}};

    // Draws one picture of `pose` over the panel image and writes it as PNG to `path`.
    // Failures: "Cannot allocate renderer.", "Cannot create output PNG.", "PNG export failed.".
    static void write(const platform::Raster& image, const PixelRect& panel, const PixelRect& crop,
                      const PoseResult& pose, const std::vector<Landmark>& annotations,
                      const std::filesystem::path& path);

    // The picture of `write`, encoded in memory; safe on a worker thread.
    // Failures: "Cannot allocate renderer.", "Cannot create output PNG.".
    // The image is taken by value and let go once drawn, before the longer encoding.
    static platform::EncodedPNG encode(platform::Raster image, const PixelRect& panel, const PixelRect& crop,
                                       const PoseResult& pose, const std::vector<Landmark>& annotations);

    // Writes an encoded picture to `path`. Failures: "Cannot create output PNG.", "PNG export failed.".
    static void save(const platform::EncodedPNG& png, const std::filesystem::path& path);

    // The drawing of `write` without the encoding (for measuring the two apart).
    static platform::Canvas draw(const platform::Raster& image, const PixelRect& panel, const PixelRect& crop,
                                 const PoseResult& pose, const std::vector<Landmark>& annotations);

    // One text label: white text with its baseline's left end at (x, y) on a box of black
    // at 75 % that covers the line's ascent, descent and leading over its advance, plus 1
    // pixel on every side.
    static void label(const std::string& text, double x, double y, platform::Canvas& context, double size = 7);
};

}  // namespace torvane
