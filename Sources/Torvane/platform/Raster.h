// A decoded, immutable 8-bit sRGB raster (3 bands, rows packed) shared by value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <string>

namespace torvane::platform {

class Raster {
public:
    struct Impl;

    Raster() = default;
    explicit Raster(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}

    // A new raster of the given size filled with one colour.
    static Raster filled(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b);
    // A raster that holds a copy of packed RGB rows.
    static Raster fromRGB(int width, int height, const std::uint8_t* rgb);

    bool empty() const { return !impl_; }
    int width() const;
    int height() const;
    static constexpr int bands = 3;
    // Row-major RGB bytes, width * 3 per row.
    const std::uint8_t* data() const;

    // The region (the raster itself when the region is all of it); empty when the
    // platform cannot cut it.
    Raster crop(int x, int y, int width, int height) const;

    const Impl* impl() const { return impl_.get(); }
    bool operator==(const Raster& other) const { return impl_ == other.impl_; }

private:
    std::shared_ptr<const Impl> impl_;
};

// What the decoder says about a file before decoding any pixel.
struct ImageHeader {
    long long storedWidth = 0;
    long long storedHeight = 0;
    int orientation = 1;  // EXIF orientation 1-8; 5-8 swap width and height when applied
};

// Only photo formats are decoded: JPEG, PNG, TIFF (first page) and HEIF/HEIC, recognised by
// their content. Anything else (SVG, PDF, GIF, WebP, BMP, vips files, text) is not an image
// here, whatever its name says.

// The header of the photo held in `bytes`; nullopt when it is not a photo the decoder reads.
std::optional<ImageHeader> photoHeader(std::string_view bytes);

// Decodes the photo held in `bytes` at full resolution with its stored orientation applied,
// as 8-bit sRGB. Truncated or corrupt image data fails. Empty when decoding fails.
Raster decodePhotoUpright(std::string_view bytes);

// The same two for a file, read whole first (regular files only, never waited on; a read
// failure counts as not readable). The file name is never parsed for load options.
std::optional<ImageHeader> readImageHeader(const std::filesystem::path& file);
Raster decodeUpright(const std::filesystem::path& file);

// Writes the raster as a PNG; false when the file cannot be written.
bool writePNG(const Raster& raster, const std::filesystem::path& file);

}  // namespace torvane::platform
