// Loading a photo upright, within the size limits, with the hash of its bytes.
#pragma once

#include <filesystem>
#include <string>

#include "Torvane/Geometry.h"
#include "Torvane/platform/Raster.h"

namespace torvane {

// What checking a photo against recorded evidence needs, without decoding its pixels.
struct ImageProbe {
    long long width = 0;   // upright
    long long height = 0;  // upright
    std::string sha256;
    bool operator==(const ImageProbe&) const = default;
};

struct ImageInput {
    platform::Raster image;  // upright, full resolution
    std::string sha256;      // of the file's bytes as stored

    static constexpr long long maxSide = 16000;
    static constexpr long long maxPixels = 40'000'000;
    static constexpr const char* unreadableMessage = "Unreadable image or exceeds 40 megapixel limit.";

    // Reads the file once (a regular file, opened without blocking, at most
    // platform::photoFileLimit bytes) and decodes those bytes: only JPEG, PNG, TIFF and HEIF,
    // and truncated or corrupt image data is refused. Every refusal is unreadableMessage.
    static ImageInput load(const std::filesystem::path& path);

    // The same, but a refusal also names the file and what is wrong with it (missing,
    // empty, not a regular file, ...), for messages about one photo among many.
    static ImageInput loadNamingFile(const std::filesystem::path& path);

    // unreadableMessage followed by the file's name and what is wrong with it.
    static std::string namedFailure(const std::filesystem::path& path);

    // The upright size and hash that `load` would give, from the header and the stored
    // orientation alone: the same size-limit refusal, no pixel decoded. For photos whose
    // bytes are already known to decode (their hash matches an analysed photo).
    static ImageProbe probe(const std::filesystem::path& path);

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
