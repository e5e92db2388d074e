#include "Torvane/InspectionRenderer.h"

#include <algorithm>
#include <map>

namespace torvane {

namespace {

using platform::Colour;

constexpr int legendWidth = 310;
constexpr int minimumHeight = 560;
constexpr Colour background = Colour::grey(0.07);
constexpr Colour yellow{1, 1, 0, 0.9};
constexpr Colour cyan{0, 1, 1, 1};
constexpr Colour pink{1, 0.2, 0.8, 1};
constexpr Colour white = Colour::grey(1);
constexpr Colour labelBox = Colour::grey(0, 0.75);

std::string legendRow(std::size_t index, std::string_view name, bool visible) {
    std::string text = std::to_string(index + 1) + "  " + std::string(name);
    std::replace(text.begin(), text.end(), '_', ' ');
    if (!visible) text += " \u2014 hidden / absent";
    return text;
}

}  // namespace

void InspectionRenderer::label(const std::string& text, double x, double y, platform::Canvas& context, double size) {
    const auto extents = context.textExtents(text, size);
    const double top = y - extents.ascent - extents.leading;
    context.fillRect(x - 1, top - 1, extents.advance + 2, extents.ascent + extents.leading + extents.descent + 2,
                     labelBox);
    context.text(text, x, y, size, white);
}

platform::Canvas InspectionRenderer::draw(const platform::Raster& image, const PixelRect& panel, const PixelRect& crop,
                                          const PoseResult& pose, const std::vector<Landmark>& annotations) {
    const int w = image.width(), h = image.height();
    auto created = platform::Canvas::create(w + legendWidth, std::max(h, minimumHeight));
    if (!created || image.empty()) throw PoseError(PoseErrorCode::writeFailed, "Cannot allocate renderer.");
    platform::Canvas canvas = std::move(*created);

    canvas.fill(background);
    canvas.drawRaster(image, 0, 0);

    canvas.clip(0, 0, w, h);
    canvas.strokeRect(crop.x - panel.x, crop.y - panel.y, crop.width, crop.height, yellow, 1);

    std::map<std::string_view, Point2> visible;  // picture positions by name
    for (const auto& joint : pose.joints)
        if (joint.isVisible()) visible.emplace(joint.name, Point2{joint.point.x - panel.x, joint.point.y - panel.y});

    for (const auto& [from, to] : bones) {
        auto a = visible.find(from), b = visible.find(to);
        if (a != visible.end() && b != visible.end())
            canvas.strokeLine(a->second.x, a->second.y, b->second.x, b->second.y, cyan, 1.5);
    }

    for (const auto& joint : pose.joints) {
        if (!joint.isVisible()) continue;
        const Point2 p{joint.point.x - panel.x, joint.point.y - panel.y};
        canvas.fillCircle(p.x, p.y, 2, cyan);
        if (auto id = jointID(joint.name)) {
            // Clamped so numbers stay readable at the picture's edges; max before min, so
            // on a very narrow picture the right-hand bound wins.
            const double x = std::min(std::max(p.x + 3, 2.0), w - 14.0);
            const double y = std::min(std::max(p.y - 3, 9.0), h - 2.0);
            label(std::to_string(*id), x, y, canvas, 7);
        }
    }

    for (const auto& landmark : annotations) {
        const double r = std::max(landmark.uncertaintyPixels, 2.0);
        canvas.strokeCircle(landmark.point.x - panel.x, landmark.point.y - panel.y, r, pink, 1);
    }
    canvas.resetClip();

    const double x0 = w + 16;
    label(pose.kind + " \u00b7 UNREVIEWED", x0, 25, canvas, 14);
    label("Status: " + pose.status, x0, 47, canvas, 12);
    label("Left / right = rider's anatomy", x0, 70, canvas, 11);
    for (std::size_t i = 0; i < jointNames.size(); ++i)
        label(legendRow(i, jointNames[i], visible.count(jointNames[i]) > 0), x0, 98 + 20.0 * i, canvas, 11);
    const char* key[] = {"Cyan: raw detected joints / bones", "Yellow: selected rider crop",
                         "Pink: provisional reference circles", "2D confidence < 0.2: hidden"};
    for (std::size_t k = 0; k < std::size(key); ++k) label(key[k], x0, 495 + 17.0 * k, canvas, 11);
    return canvas;
}

platform::EncodedPNG InspectionRenderer::encode(platform::Raster image, const PixelRect& panel, const PixelRect& crop,
                                                const PoseResult& pose, const std::vector<Landmark>& annotations) {
    platform::Canvas canvas = draw(image, panel, crop, pose, annotations);
    image = {};
    auto png = platform::Canvas::encodePNG(std::move(canvas));
    if (!png) throw PoseError(PoseErrorCode::writeFailed, "Cannot create output PNG.");
    return std::move(*png);
}

void InspectionRenderer::save(const platform::EncodedPNG& png, const std::filesystem::path& path) {
    switch (png.write(path)) {
        case platform::PNGExport::written: return;
        case platform::PNGExport::cannotCreate: throw PoseError(PoseErrorCode::writeFailed, "Cannot create output PNG.");
        case platform::PNGExport::failed: throw PoseError(PoseErrorCode::writeFailed, "PNG export failed.");
    }
}

void InspectionRenderer::write(const platform::Raster& image, const PixelRect& panel, const PixelRect& crop,
                               const PoseResult& pose, const std::vector<Landmark>& annotations,
                               const std::filesystem::path& path) {
    save(encode(image, panel, crop, pose, annotations), path);
}

}  // namespace torvane
