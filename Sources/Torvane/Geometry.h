// Points and rectangles in source-photo pixels (upright photo, origin top-left, y down),
// and the library's one error type.
#pragma once

#include <stdexcept>
#include <string>

namespace torvane {

// The library's own refusals. what() is the user-facing sentence itself.
class PoseError : public std::runtime_error {
public:
    static PoseError invalidInput(const std::string& message) { return PoseError(message); }
    const std::string& message() const { return message_; }

private:
    explicit PoseError(const std::string& message) : std::runtime_error(message), message_(message) {}
    std::string message_;
};

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

// Describes any caught error the way the library shows failures: a PoseError by its
// message, anything else by its own description.
std::string describeError(const std::exception& error);

}  // namespace torvane
