#include "Torvane/platform/DisplayImage.h"

#include <algorithm>
#include <cmath>

#include "Torvane/platform/VipsImage.h"

namespace torvane::platform {

std::optional<std::string> displayJPEG(const std::filesystem::path& file, int maxSide,
                                       const std::optional<ImageRegion>& region, int quality) {
    ensureVips();
    auto header = readImageHeader(file);
    if (!header || maxSide <= 0) return std::nullopt;
    const bool swapped = header->orientation >= 5 && header->orientation <= 8;
    const double width = static_cast<double>(swapped ? header->storedHeight : header->storedWidth);
    const double height = static_cast<double>(swapped ? header->storedWidth : header->storedHeight);
    const ImageRegion area = region.value_or(ImageRegion{0, 0, static_cast<int>(width), static_cast<int>(height)});
    if (area.width <= 0 || area.height <= 0 || area.x < 0 || area.y < 0 || area.x + area.width > width ||
        area.y + area.height > height)
        return std::nullopt;

    // Shrink the whole photo first (JPEG and HEIC decode straight to the smaller size), then
    // cut the region out of the shrunk picture.
    const double scale = std::min(1.0, maxSide / static_cast<double>(std::max(area.width, area.height)));
    const int targetWidth = std::max(1, static_cast<int>(std::lround(width * scale)));
    const int targetHeight = std::max(1, static_cast<int>(std::lround(height * scale)));
    ImageRef shrunk;
    if (vips_thumbnail(file.c_str(), &shrunk.image, targetWidth, "height", targetHeight, "size", VIPS_SIZE_DOWN,
                       nullptr)) {
        vips_error_clear();
        return std::nullopt;
    }
    ImageRef rgb{toRGB8(shrunk.image)};
    if (!rgb.image) {
        vips_error_clear();
        return std::nullopt;
    }
    const double sx = vips_image_get_width(rgb.image) / width, sy = vips_image_get_height(rgb.image) / height;
    const int left = std::clamp(static_cast<int>(std::floor(area.x * sx)), 0, vips_image_get_width(rgb.image) - 1);
    const int top = std::clamp(static_cast<int>(std::floor(area.y * sy)), 0, vips_image_get_height(rgb.image) - 1);
    const int right = std::clamp(static_cast<int>(std::ceil((area.x + area.width) * sx)), left + 1,
                                 vips_image_get_width(rgb.image));
    const int bottom = std::clamp(static_cast<int>(std::ceil((area.y + area.height) * sy)), top + 1,
                                  vips_image_get_height(rgb.image));
    ImageRef cut;
    if (vips_extract_area(rgb.image, &cut.image, left, top, right - left, bottom - top, nullptr)) {
        vips_error_clear();
        return std::nullopt;
    }
    void* buffer = nullptr;
    size_t length = 0;
    if (vips_jpegsave_buffer(cut.image, &buffer, &length, "Q", quality, "strip", TRUE, nullptr)) {
        vips_error_clear();
        return std::nullopt;
    }
    std::string bytes(static_cast<const char*>(buffer), length);
    g_free(buffer);
    return bytes;
}

}  // namespace torvane::platform
