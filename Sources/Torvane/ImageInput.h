// Loading a photo upright, within the size limits, with the hash of its bytes.
#pragma once

#include <filesystem>
#include <string>

#include "Torvane/Geometry.h"
#include "Torvane/platform/Raster.h"

namespace torvane {

struct ImageInput {
    platform::Raster image;  // upright, full resolution
    std::string sha256;      // of the file's bytes as stored

    static constexpr long long maxSide = 16000;
    static constexpr long long maxPixels = 40'000'000;
    static constexpr const char* unreadableMessage = "Unreadable image or exceeds 40 megapixel limit.";

    static ImageInput load(const std::filesystem::path& url);

    // Whether a photo stored at this size may be decoded.
    static bool withinLimits(long long storedWidth, long long storedHeight) {
        return storedWidth > 0 && storedHeight > 0 && storedWidth <= maxSide && storedHeight <= maxSide &&
               storedWidth * storedHeight <= maxPixels;
    }

    // The rectangle of the upright image, after validating it against the image.
    platform::Raster cropped(const PixelRect& rect) const;

    int width() const { return image.width(); }
    int height() const { return image.height(); }

    bool operator==(const ImageInput&) const = default;
};

}  // namespace torvane
