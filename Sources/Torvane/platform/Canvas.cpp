#include "Torvane/platform/Canvas.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>


namespace torvane::platform {

namespace {

// Cairo keeps coordinates in 24.8 fixed point and wraps beyond about 8 million pixels, so
// geometry is brought into a safe range first; this bound is far beyond any photo.
constexpr double coordinateLimit = 1e6;

bool usable(double v) { return std::isfinite(v) && std::abs(v) <= coordinateLimit; }

std::string resolveFontFamily() {
    // "Menlo" only when fontconfig really has it; asking Cairo for a missing family would
    // silently give a proportional default font.
    std::string family = "DejaVu Sans Mono";
    if (!FcInit()) return family;
    FcPattern* pattern = FcPatternCreate();
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>("Menlo"));
    FcObjectSet* objects = FcObjectSetBuild(FC_FAMILY, nullptr);
    FcFontSet* fonts = FcFontList(nullptr, pattern, objects);
    if (fonts && fonts->nfont > 0) family = "Menlo";
    if (fonts) FcFontSetDestroy(fonts);
    FcObjectSetDestroy(objects);
    FcPatternDestroy(pattern);
    return family;
}

void setColour(cairo_t* cr, const Colour& c) { cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha); }

// Liang-Barsky: cuts the segment to the box; false when nothing of it lies inside.
bool clipSegment(double& x0, double& y0, double& x1, double& y1, double lo_x, double lo_y, double hi_x, double hi_y) {
    double t0 = 0, t1 = 1;
    const double dx = x1 - x0, dy = y1 - y0;
    const double p[] = {-dx, dx, -dy, dy};
    const double q[] = {x0 - lo_x, hi_x - x0, y0 - lo_y, hi_y - y0};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0) {
            if (q[i] < 0) return false;
            continue;
        }
        const double t = q[i] / p[i];
        if (p[i] < 0)
            t0 = std::max(t0, t);
        else
            t1 = std::min(t1, t);
        if (t0 > t1) return false;
    }
    const double sx = x0, sy = y0;
    x0 = sx + t0 * dx;
    y0 = sy + t0 * dy;
    x1 = sx + t1 * dx;
    y1 = sy + t1 * dy;
    return true;
}

}  // namespace

struct Canvas::Impl {
    cairo_surface_t* surface = nullptr;
    cairo_t* cr = nullptr;
    int width = 0, height = 0;
    ~Impl() {
        if (cr) cairo_destroy(cr);
        if (surface) cairo_surface_destroy(surface);
    }

    // Edges further out than this margin are invisible; pulling them in keeps the
    // visible ones exactly where they were.
    double clampX(double x) const { return std::clamp(x, -16.0, width + 16.0); }
    double clampY(double y) const { return std::clamp(y, -16.0, height + 16.0); }
};

Canvas::Canvas(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Canvas::Canvas(Canvas&&) noexcept = default;
Canvas& Canvas::operator=(Canvas&&) noexcept = default;
Canvas::~Canvas() = default;

std::optional<Canvas> Canvas::create(int width, int height) {
    if (width <= 0 || height <= 0) return std::nullopt;
    auto impl = std::make_unique<Impl>();
    impl->width = width;
    impl->height = height;
    impl->surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    if (cairo_surface_status(impl->surface) != CAIRO_STATUS_SUCCESS) return std::nullopt;
    impl->cr = cairo_create(impl->surface);
    if (cairo_status(impl->cr) != CAIRO_STATUS_SUCCESS) return std::nullopt;
    return Canvas(std::move(impl));
}

int Canvas::width() const { return impl_->width; }
int Canvas::height() const { return impl_->height; }

std::string_view Canvas::fontFamily() {
    static const std::string family = resolveFontFamily();
    return family;
}

void Canvas::fill(const Colour& colour) {
    cairo_save(impl_->cr);
    cairo_reset_clip(impl_->cr);
    setColour(impl_->cr, colour);
    cairo_paint(impl_->cr);
    cairo_restore(impl_->cr);
}

void Canvas::drawRaster(const Raster& raster, int x, int y) {
    if (raster.empty()) return;
    // A straight pixel copy: the photo must appear exactly as decoded, with no resampling.
    cairo_surface_flush(impl_->surface);
    unsigned char* base = cairo_image_surface_get_data(impl_->surface);
    const int stride = cairo_image_surface_get_stride(impl_->surface);
    const int x0 = std::max(0, x), x1 = std::min(impl_->width, x + raster.width());
    const int y0 = std::max(0, y), y1 = std::min(impl_->height, y + raster.height());
    const std::uint8_t* source = raster.data();
    const std::size_t sourceStride = static_cast<std::size_t>(raster.width()) * 3;
    for (int row = y0; row < y1; ++row) {
        auto* out = reinterpret_cast<std::uint32_t*>(base + static_cast<std::size_t>(row) * stride);
        const std::uint8_t* in = source + static_cast<std::size_t>(row - y) * sourceStride;
        for (int col = x0; col < x1; ++col) {
            const std::uint8_t* p = in + static_cast<std::size_t>(col - x) * 3;
            out[col] = 0xff000000u | (std::uint32_t(p[0]) << 16) | (std::uint32_t(p[1]) << 8) | p[2];
        }
    }
    cairo_surface_mark_dirty(impl_->surface);
}

void Canvas::clip(double x, double y, double width, double height) {
    cairo_reset_clip(impl_->cr);
    if (!usable(x) || !usable(y) || !usable(width) || !usable(height)) return;
    cairo_rectangle(impl_->cr, x, y, width, height);
    cairo_clip(impl_->cr);
}

void Canvas::resetClip() { cairo_reset_clip(impl_->cr); }

void Canvas::fillRect(double x, double y, double width, double height, const Colour& colour) {
    if (!usable(x) || !usable(y) || !usable(width) || !usable(height)) return;
    setColour(impl_->cr, colour);
    cairo_rectangle(impl_->cr, x, y, width, height);
    cairo_fill(impl_->cr);
}

void Canvas::strokeRect(double x, double y, double width, double height, const Colour& colour, double lineWidth) {
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(width) || !std::isfinite(height)) return;
    const double left = impl_->clampX(x), right = impl_->clampX(x + width);
    const double top = impl_->clampY(y), bottom = impl_->clampY(y + height);
    setColour(impl_->cr, colour);
    cairo_set_line_width(impl_->cr, lineWidth);
    cairo_rectangle(impl_->cr, left, top, right - left, bottom - top);
    cairo_stroke(impl_->cr);
}

void Canvas::strokeLine(double x0, double y0, double x1, double y1, const Colour& colour, double lineWidth) {
    if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1)) return;
    const double m = 16 + lineWidth;
    if (!clipSegment(x0, y0, x1, y1, -m, -m, impl_->width + m, impl_->height + m)) return;
    setColour(impl_->cr, colour);
    cairo_set_line_width(impl_->cr, lineWidth);
    cairo_move_to(impl_->cr, x0, y0);
    cairo_line_to(impl_->cr, x1, y1);
    cairo_stroke(impl_->cr);
}

void Canvas::fillCircle(double cx, double cy, double radius, const Colour& colour) {
    if (!usable(cx) || !usable(cy) || !usable(radius)) return;
    setColour(impl_->cr, colour);
    cairo_new_sub_path(impl_->cr);
    cairo_arc(impl_->cr, cx, cy, radius, 0, 2 * M_PI);
    cairo_fill(impl_->cr);
}

void Canvas::strokeCircle(double cx, double cy, double radius, const Colour& colour, double lineWidth) {
    if (!usable(cx) || !usable(cy) || !usable(radius)) return;
    setColour(impl_->cr, colour);
    cairo_set_line_width(impl_->cr, lineWidth);
    cairo_new_sub_path(impl_->cr);
    cairo_arc(impl_->cr, cx, cy, radius, 0, 2 * M_PI);
    cairo_stroke(impl_->cr);
}

namespace {
void selectFont(cairo_t* cr, double size) {
    const std::string family(Canvas::fontFamily());
    cairo_select_font_face(cr, family.c_str(), CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
}
}  // namespace

TextExtents Canvas::textExtents(std::string_view text, double size) const {
    const std::string line(text);
    cairo_save(impl_->cr);
    selectFont(impl_->cr, size);
    cairo_font_extents_t font{};
    cairo_font_extents(impl_->cr, &font);
    cairo_text_extents_t extents{};
    cairo_text_extents(impl_->cr, line.c_str(), &extents);
    cairo_restore(impl_->cr);
    return {font.ascent, font.descent, std::max(0.0, font.height - font.ascent - font.descent), extents.x_advance};
}

void Canvas::text(std::string_view text, double x, double y, double size, const Colour& colour) {
    if (!usable(x) || !usable(y)) return;
    const std::string line(text);
    cairo_save(impl_->cr);
    selectFont(impl_->cr, size);
    setColour(impl_->cr, colour);
    cairo_move_to(impl_->cr, x, y);
    cairo_show_text(impl_->cr, line.c_str());
    cairo_new_path(impl_->cr);
    cairo_restore(impl_->cr);
}

std::array<std::uint8_t, 4> Canvas::pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= impl_->width || y >= impl_->height) return {0, 0, 0, 0};
    cairo_surface_flush(impl_->surface);
    const unsigned char* row =
        cairo_image_surface_get_data(impl_->surface) + static_cast<std::size_t>(y) * cairo_image_surface_get_stride(impl_->surface);
    const std::uint32_t v = reinterpret_cast<const std::uint32_t*>(row)[x];
    const std::uint8_t a = v >> 24;
    auto straight = [a](std::uint32_t c) -> std::uint8_t { return a ? static_cast<std::uint8_t>((c * 255 + a / 2) / a) : 0; };
    return {straight((v >> 16) & 0xff), straight((v >> 8) & 0xff), straight(v & 0xff), a};
}

namespace {
// Native-endian 32-bit pixels to R, G, B bytes; the alpha byte is dropped (opaque).
std::optional<EncodedPNG> encodeSurface(cairo_surface_t* surface, int width, int height,
                                        const std::function<void()>& rowsRead) {
    cairo_surface_flush(surface);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) return std::nullopt;
    const unsigned char* data = cairo_image_surface_get_data(surface);
    const std::size_t stride = static_cast<std::size_t>(cairo_image_surface_get_stride(surface));
    if (!data) return std::nullopt;
    auto row = [&](int y, std::uint8_t* rgb) {
        const auto* in = reinterpret_cast<const std::uint32_t*>(data + static_cast<std::size_t>(y) * stride);
        for (int x = 0; x < width; ++x) {
            const std::uint32_t v = in[x];
            rgb[3 * x] = std::uint8_t(v >> 16);
            rgb[3 * x + 1] = std::uint8_t(v >> 8);
            rgb[3 * x + 2] = std::uint8_t(v);
        }
    };
    return EncodedPNG::encode(width, height, row, rowsRead);
}
}  // namespace

std::optional<EncodedPNG> Canvas::encodePNG() const {
    return encodeSurface(impl_->surface, impl_->width, impl_->height, {});
}

std::optional<EncodedPNG> Canvas::encodePNG(Canvas&& canvas) {
    std::unique_ptr<Impl> impl = std::move(canvas.impl_);
    return encodeSurface(impl->surface, impl->width, impl->height, [&impl] { impl.reset(); });
}

PNGExport Canvas::writePNG(const std::filesystem::path& file) const {
    const auto png = encodePNG();
    return png ? png->write(file) : PNGExport::cannotCreate;
}

}  // namespace torvane::platform
