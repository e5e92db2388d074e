// A small drawing surface for the inspection pictures: an opaque RGBA canvas with top-left
// origin (y down), clipping, strokes, fills, monospaced text, and lossless PNG export.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include "Torvane/platform/PNGEncoder.h"
#include "Torvane/platform/Raster.h"

namespace torvane::platform {

// Components from 0 to 1; alpha composites over what is already drawn.
struct Colour {
    double red = 0, green = 0, blue = 0, alpha = 1;
    static constexpr Colour grey(double g, double alpha = 1) { return {g, g, g, alpha}; }
};

// Metrics of one line of text at one size, in canvas pixels.
struct TextExtents {
    double ascent = 0;   // above the baseline
    double descent = 0;  // below the baseline
    double leading = 0;  // the font's extra line gap, 0 when it has none
    double advance = 0;  // width of the line
};

class Canvas {
public:
    // A canvas of the given size, transparent until filled; nullopt when it cannot be
    // allocated (for example a side beyond the raster library's limit).
    static std::optional<Canvas> create(int width, int height);

    Canvas(Canvas&&) noexcept;
    Canvas& operator=(Canvas&&) noexcept;
    ~Canvas();

    int width() const;
    int height() const;

    void fill(const Colour& colour);
    // Copies the raster's pixels unscaled and unaltered with its top-left corner at (x, y).
    void drawRaster(const Raster& raster, int x, int y);

    // Restricts drawing to the rectangle until resetClip().
    void clip(double x, double y, double width, double height);
    void resetClip();

    void fillRect(double x, double y, double width, double height, const Colour& colour);
    void strokeRect(double x, double y, double width, double height, const Colour& colour, double lineWidth);
    void strokeLine(double x0, double y0, double x1, double y1, const Colour& colour, double lineWidth);
    void fillCircle(double cx, double cy, double radius, const Colour& colour);
    void strokeCircle(double cx, double cy, double radius, const Colour& colour, double lineWidth);

    // Text in the monospaced font (Menlo where installed, otherwise DejaVu Sans Mono),
    // `size` pixels, one line with its baseline's left end at (x, y).
    TextExtents textExtents(std::string_view text, double size) const;
    void text(std::string_view text, double x, double y, double size, const Colour& colour);

    // The pixel at (x, y) as straight (not premultiplied) RGBA bytes.
    std::array<std::uint8_t, 4> pixel(int x, int y) const;

    // The canvas as an 8-bit RGB PNG (the canvas is opaque once filled, so no alpha channel
    // is stored); nullopt when memory runs out. Safe on a worker thread while other canvases
    // are drawn.
    std::optional<EncodedPNG> encodePNG() const;
    // The same, freeing the canvas's pixels once they are read and before compressing.
    static std::optional<EncodedPNG> encodePNG(Canvas&& canvas);
    // encodePNG() written to `file`: `cannotCreate` when the image cannot be encoded or the
    // file cannot be created, `failed` when writing fails after that.
    PNGExport writePNG(const std::filesystem::path& file) const;

    // The font family that text uses on this machine.
    static std::string_view fontFamily();

private:
    struct Impl;
    explicit Canvas(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace torvane::platform
