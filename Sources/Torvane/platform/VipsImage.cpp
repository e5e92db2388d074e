#include "Torvane/platform/VipsImage.h"

#include <cstring>
#include <mutex>

#include "Torvane/platform/PNGEncoder.h"

namespace torvane::platform {

namespace {

void dropMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

}  // namespace

VipsImage* toRGB8(VipsImage* in) {
    ImageRef srgb, flat, cast;
    VipsImage* current = in;
    if (vips_image_get_interpretation(current) != VIPS_INTERPRETATION_sRGB &&
        vips_image_get_interpretation(current) != VIPS_INTERPRETATION_RGB) {
        if (vips_colourspace(current, &srgb.image, VIPS_INTERPRETATION_sRGB, nullptr)) return nullptr;
        current = srgb.image;
    }
    int bands = vips_image_get_bands(current);
    if (bands == 2 || bands == 4) {
        // Transparent areas are shown on white, as a viewer would.
        double white[] = {255, 255, 255};
        VipsArrayDouble* background = vips_array_double_new(white, 3);
        int failed = vips_flatten(current, &flat.image, "background", background, nullptr);
        vips_area_unref(VIPS_AREA(background));
        if (failed) return nullptr;
        current = flat.image;
        bands = vips_image_get_bands(current);
    }
    if (bands == 1) {
        VipsImage* three = nullptr;
        VipsImage* in3[] = {current, current, current};
        if (vips_bandjoin(in3, &three, 3, nullptr)) return nullptr;
        ImageRef keep{three};
        if (vips_cast_uchar(three, &cast.image, nullptr)) return nullptr;
    } else if (bands > 3) {
        VipsImage* first = nullptr;
        if (vips_extract_band(current, &first, 0, "n", 3, nullptr)) return nullptr;
        ImageRef keep{first};
        if (vips_cast_uchar(first, &cast.image, nullptr)) return nullptr;
    } else {
        if (vips_cast_uchar(current, &cast.image, nullptr)) return nullptr;
    }
    return vips_image_copy_memory(cast.image);
}

void ensureVips() {
    static std::once_flag once;
    std::call_once(once, [] {
        VIPS_INIT("torvane");
        // Decoded photos are used once; the operation cache would only hold memory.
        vips_cache_set_max(0);
        // Decoder warnings (a truncated JPEG, odd metadata) are not for the user's
        // terminal: the library reports its own fixed messages instead.
        g_log_set_handler("VIPS", static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO),
                          dropMessage, nullptr);
        g_log_set_handler("GLib-GObject", G_LOG_LEVEL_WARNING, dropMessage, nullptr);
    });
}

Raster wrap(VipsImage* owned) { return owned ? Raster(std::make_shared<const Raster::Impl>(owned)) : Raster(); }

int Raster::width() const { return impl_ ? vips_image_get_width(impl_->image) : 0; }
int Raster::height() const { return impl_ ? vips_image_get_height(impl_->image) : 0; }

const std::uint8_t* Raster::data() const {
    return impl_ ? static_cast<const std::uint8_t*>(VIPS_IMAGE_ADDR(impl_->image, 0, 0)) : nullptr;
}

Raster Raster::filled(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    ensureVips();
    VipsImage* out = vips_image_new_memory();
    vips_image_init_fields(out, width, height, 3, VIPS_FORMAT_UCHAR, VIPS_CODING_NONE, VIPS_INTERPRETATION_sRGB, 1, 1);
    if (vips_image_write_prepare(out)) {
        g_object_unref(out);
        return {};
    }
    auto* p = static_cast<std::uint8_t*>(VIPS_IMAGE_ADDR(out, 0, 0));
    for (long long i = 0; i < static_cast<long long>(width) * height; ++i) {
        p[3 * i] = r;
        p[3 * i + 1] = g;
        p[3 * i + 2] = b;
    }
    return wrap(out);
}

Raster Raster::fromRGB(int width, int height, const std::uint8_t* rgb) {
    ensureVips();
    std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
    VipsImage* out = vips_image_new_from_memory_copy(rgb, size, width, height, 3, VIPS_FORMAT_UCHAR);
    if (out) out->Type = VIPS_INTERPRETATION_sRGB;
    return wrap(out);
}

Raster Raster::crop(int x, int y, int w, int h) const {
    if (!impl_) return {};
    // Rasters are immutable, so the whole image is shared rather than copied: a rider
    // whose crop and panel are the whole photo costs no second or third photo in memory.
    if (x == 0 && y == 0 && w == width() && h == height()) return *this;
    VipsImage* region = nullptr;
    if (vips_extract_area(impl_->image, &region, x, y, w, h, nullptr)) {
        vips_error_clear();
        return {};
    }
    ImageRef keep{region};
    return wrap(vips_image_copy_memory(region));
}

std::optional<ImageHeader> readImageHeader(const std::filesystem::path& file) {
    ensureVips();
    // Opening reads the header only; no pixel is decoded here.
    VipsImage* image = vips_image_new_from_file(file.c_str(), nullptr);
    if (!image) {
        vips_error_clear();
        return std::nullopt;
    }
    ImageRef keep{image};
    return ImageHeader{vips_image_get_width(image), vips_image_get_height(image), vips_image_get_orientation(image)};
}

Raster decodeUpright(const std::filesystem::path& file) {
    ensureVips();
    VipsImage* header = vips_image_new_from_file(file.c_str(), nullptr);
    if (!header) {
        vips_error_clear();
        return {};
    }
    int orientation = vips_image_get_orientation(header);
    g_object_unref(header);

    // Upright photos stream straight into memory; rotating needs random access.
    VipsAccess access = orientation > 1 ? VIPS_ACCESS_RANDOM : VIPS_ACCESS_SEQUENTIAL;
    ImageRef loaded, upright;
    loaded.image = vips_image_new_from_file(file.c_str(), "access", access, nullptr);
    if (!loaded.image) {
        vips_error_clear();
        return {};
    }
    VipsImage* current = loaded.image;
    if (orientation > 1) {
        if (vips_autorot(current, &upright.image, nullptr)) {
            vips_error_clear();
            return {};
        }
        current = upright.image;
    }
    VipsImage* rgb = toRGB8(current);
    if (!rgb) vips_error_clear();
    return wrap(rgb);
}

bool writePNG(const Raster& raster, const std::filesystem::path& file) {
    if (raster.empty()) return false;
    const std::uint8_t* data = raster.data();
    const std::size_t rowBytes = static_cast<std::size_t>(raster.width()) * 3;
    const auto png = EncodedPNG::encode(raster.width(), raster.height(), [&](int y, std::uint8_t* rgb) {
        std::memcpy(rgb, data + static_cast<std::size_t>(y) * rowBytes, rowBytes);
    });
    return png && png->write(file) == PNGExport::written;
}

}  // namespace torvane::platform
