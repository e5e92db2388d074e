// Measures hand-drawn wheel lines as image-plane angles with bounds from the reviewer's
// endpoint uncertainty, and compares subject and reference rider once the reviewer has
// approved exactly the evidence compared. It never claims physical lean.
#pragma once

#include <optional>
#include <string>

#include "Torvane/Geometry.h"
#include "Torvane/Json.h"
#include "Torvane/LeanReview.h"
#include "Torvane/PairReview.h"

namespace torvane {

// Degrees in the image plane.
struct LeanMeasurement {
    double angle = 0;
    double lower = 0;
    double upper = 0;

    bool operator==(const LeanMeasurement&) const = default;
    template <class V> void fields(V& v) { v("angle", angle); v("lower", lower); v("upper", upper); }
};

struct LeanComparison {
    std::optional<LeanMeasurement> measurement;
    std::string summary;

    bool operator==(const LeanComparison&) const = default;
    template <class V> void fields(V& v) { v("measurement", measurement); v("summary", summary); }
};

struct LeanAnalysis {
    static constexpr const char* limitations =
        "Image-plane wheel proxy only. Annotation sensitivity excludes unknown perspective and steering error. "
        "Physical lean and causal body-position explanations are unavailable.";
    static constexpr const char* missingAnnotationMessage = "Missing lean annotation.";
    static constexpr const char* reviewEvidenceText =
        "Review both wheel axes and their reference evidence before comparing.";
    static constexpr const char* incompatibleText =
        "The two photos need compatible cues and reference bases; shared features must identify the same "
        "stationary segment.";
    static constexpr const char* unreviewedText =
        "Comparison unreviewed: confirm cue, view, wheel heading, and reference comparability for this evidence.";
    static constexpr const char* ambiguousText = "Relative orientation wraps ambiguously; ordering unavailable.";
    static constexpr const char* overlapsZeroText = "Ordering unresolved: annotation sensitivity overlaps zero.";

    // Angle of the line from the image vertical, positive when its top leans right; the
    // same for both endpoint orders.
    static double orientation(const LeanLine& line);
    // A line direction modulo 180 degrees, in [-90, 90).
    static double wrap(double degrees);
    // The angular uncertainty that the endpoint uncertainty implies.
    static double sensitivity(const LeanLine& line);
    // The unsigned wheel angle from the image vertical, or from the perpendicular of a
    // level reference line; absent unless the lines are valid in the panel.
    static std::optional<LeanMeasurement> magnitude(const LeanLine& wheel, const std::optional<LeanLine>& reference,
                                                    const PixelRect& panel);
    // The signed wheel angle against a shared stationary feature; absent unless both lines
    // are valid and the bounds stay clear of +-90.
    static std::optional<LeanMeasurement> relative(const LeanLine& wheel, const LeanLine& reference,
                                                   const PixelRect& panel);
    // The annotation's measurement on its own basis; absent when it has no usable lines.
    static std::optional<LeanMeasurement> measure(const LeanAnnotation& annotation);

    // The digest a reviewer approves: SHA-256 of the canonical JSON of the pair's source
    // evidence hash and its lean annotations (subject first).
    static std::string evidenceDigest(const ReviewDocument& document, const ReviewPair& pair);

    // Subject against reference; an unavailable outcome is a summary without measurement.
    static LeanComparison compare(const ReviewDocument& document, const ReviewPair& pair);
};

}  // namespace torvane
