// Points and rectangles in source-photo pixels (upright photo, origin top-left, y down).
#pragma once

#include "Torvane/PoseError.h"

namespace torvane {

struct Point2 {
    double x = 0;
    double y = 0;

    double distance(const Point2& other) const;

    bool operator==(const Point2&) const = default;
    template <class V> void fields(V& v) { v("x", x); v("y", y); }
};

struct PixelRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    // Throws "Crop is outside the image or not integral pixels." unless the rectangle is
    // made of whole numbers, starts inside the image, is not empty and ends within it.
    void validate(long long imageWidth, long long imageHeight) const;

    // Maps detector fractions (origin bottom-left, y up) of this rectangle to pixels.
    Point2 sourcePoint(double normalizedX, double normalizedY) const;

    bool operator==(const PixelRect&) const = default;
    template <class V> void fields(V& v) { v("height", height); v("width", width); v("x", x); v("y", y); }
};

}  // namespace torvane
