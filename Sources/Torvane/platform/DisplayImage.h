// Pictures of a photo for a screen: shrunk with the decoder's shrink-on-load, upright,
// encoded as JPEG.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace torvane::platform {

struct ImageRegion {
    int x = 0, y = 0, width = 0, height = 0;  // upright photo pixels
};

// The region of the upright photo (the whole photo when absent), shrunk so that its longer
// side is at most `maxSide` pixels (never enlarged), as JPEG bytes. nullopt when the photo
// cannot be decoded or the region lies outside it.
std::optional<std::string> displayJPEG(const std::filesystem::path& file, int maxSide,
                                       const std::optional<ImageRegion>& region = std::nullopt, int quality = 85);

}  // namespace torvane::platform
