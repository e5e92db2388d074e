// Hand-drawn wheel-lean evidence as stored in the review document: the drawn lines, their
// reference direction and review state, and the per-pair comparability answers.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "Torvane/Geometry.h"
#include "Torvane/Json.h"

namespace torvane {

struct ReviewFrame;

// A drawn segment in source-photo pixels with the placement uncertainty of each endpoint.
struct LeanLine {
    Point2 a;
    Point2 b;
    double uncertainty = 0;

    // Both endpoints inside the panel (right and bottom edges outside), a finite positive
    // uncertainty, and a length of more than twice the uncertainty.
    bool valid(const PixelRect& panel) const;

    bool operator==(const LeanLine&) const = default;
    template <class V> void fields(V& v) { v("a", a); v("b", b); v("uncertainty", uncertainty); }
};

enum class LeanBasis { imageVertical, assumedLevel, sharedFeature };
template <>
struct EnumTable<LeanBasis> {
    static constexpr LabelledCase<LeanBasis> cases[] = {
        {LeanBasis::imageVertical, "imageVertical", "Image vertical"},
        {LeanBasis::assumedLevel, "assumedLevel", "Assumed level line"},
        {LeanBasis::sharedFeature, "sharedFeature", "Shared stationary feature"}};
};

enum class LeanState { draft, reviewed, unavailable };
template <>
struct EnumTable<LeanState> {
    static constexpr EnumCase<LeanState> cases[] = {
        {LeanState::draft, "draft"}, {LeanState::reviewed, "reviewed"}, {LeanState::unavailable, "unavailable"}};
};

// The lean evidence of one review frame.
struct LeanAnnotation {
    std::string frameID;
    std::string sourceHash;
    PixelRect panel;
    std::optional<LeanLine> wheel;
    std::optional<LeanLine> originalProposal;
    std::optional<LeanLine> reference;
    LeanBasis basis = LeanBasis::imageVertical;
    LeanState state = LeanState::draft;
    bool referenceReviewed = false;
    std::string featureID;
    std::string cue = "Visible front tire/rim long axis";
    std::string provenance;

    static constexpr const char* defaultProvenance = "Manual photo annotation";
    static constexpr const char* invalidMessage =
        "Lean evidence needs valid, separated endpoints inside its original photo, positive uncertainty, and "
        "reviewed reference evidence.";

    LeanAnnotation() = default;
    // A draft on `frame`'s photo and panel, with every other field at its default.
    explicit LeanAnnotation(const ReviewFrame& frame, std::optional<LeanLine> wheel = std::nullopt,
                            std::string provenance = defaultProvenance);

    // Refuses an annotation that does not belong to `frame`, has blank text, an invalid
    // line, or (when reviewed) lacks the wheel line or reviewed reference evidence.
    void validate(const ReviewFrame& frame) const;

    bool operator==(const LeanAnnotation&) const = default;
    template <class V> void fields(V& v) {
        v("basis", basis); v("cue", cue); v("featureID", featureID); v("frameID", frameID);
        v("originalProposal", originalProposal); v("panel", panel); v("provenance", provenance);
        v("reference", reference); v("referenceReviewed", referenceReviewed); v("sourceHash", sourceHash);
        v("state", state); v("wheel", wheel);
    }
};

// The reviewer's answers about whether the two photos of a pair can be compared for lean.
struct LeanPairContext {
    std::optional<std::string> approvalDigest;
    bool commonCue = false;
    bool comparableView = false;
    bool comparableHeading = false;
    bool comparableReference = false;
    bool comparableCameraRoll = false;
    bool similarSpeedReported = false;

    // The four answers a comparison needs; camera roll and speed are reported only.
    bool checksComplete() const { return commonCue && comparableView && comparableHeading && comparableReference; }

    bool operator==(const LeanPairContext&) const = default;
    template <class V> void fields(V& v) {
        v("approvalDigest", approvalDigest); v("commonCue", commonCue); v("comparableCameraRoll", comparableCameraRoll);
        v("comparableHeading", comparableHeading); v("comparableReference", comparableReference);
        v("comparableView", comparableView); v("similarSpeedReported", similarSpeedReported);
    }
};

}  // namespace torvane
