#include "Torvane/Geometry.h"

#include <cmath>

namespace torvane {

double Point2::distance(const Point2& other) const { return std::hypot(x - other.x, y - other.y); }

void PixelRect::validate(long long imageWidth, long long imageHeight) const {
    auto whole = [](double v) { return std::isfinite(v) && std::round(v) == v; };
    bool ok = whole(x) && whole(y) && whole(width) && whole(height) && x >= 0 && y >= 0 && width > 0 &&
              height > 0 && x + width <= static_cast<double>(imageWidth) &&
              y + height <= static_cast<double>(imageHeight);
    if (!ok) throw PoseError(PoseErrorCode::invalidCrop, "Crop is outside the image or not integral pixels.");
}

Point2 PixelRect::sourcePoint(double normalizedX, double normalizedY) const {
    return {x + normalizedX * width, y + (1 - normalizedY) * height};
}

}  // namespace torvane
