// Internal to the platform layer: the libvips image behind a Raster.
#pragma once

#include <vips/vips.h>

#include "Torvane/platform/Raster.h"

namespace torvane::platform {

struct Raster::Impl {
    VipsImage* image = nullptr;  // a memory image, uchar, 3 bands
    explicit Impl(VipsImage* owned) : image(owned) {}
    ~Impl() {
        if (image) g_object_unref(image);
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
};

// Releases a chain of intermediate images on every path.
struct ImageRef {
    VipsImage* image = nullptr;
    ImageRef() = default;
    explicit ImageRef(VipsImage* owned) : image(owned) {}
    ~ImageRef() {
        if (image) g_object_unref(image);
    }
    ImageRef(const ImageRef&) = delete;
    ImageRef& operator=(const ImageRef&) = delete;
};

// Starts libvips once per process, quietly.
void ensureVips();

// Brings any decoded image to a packed 8-bit sRGB memory image with three bands; nullptr
// (with the vips error set) on failure. The caller owns the result.
VipsImage* toRGB8(VipsImage* in);

// Wraps a memory image it takes ownership of.
Raster wrap(VipsImage* owned);

}  // namespace torvane::platform
