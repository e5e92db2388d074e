#include "Torvane/LeanAnalysis.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "Torvane/ContentHash.h"

namespace torvane {

namespace {

double degrees(double radians) { return radians * 180 / std::numbers::pi; }

// Extreme but finite coordinates can still overflow on the way; such a result is no
// measurement rather than a NaN or an infinity.
std::optional<LeanMeasurement> finite(const LeanMeasurement& m) {
    if (!std::isfinite(m.angle) || !std::isfinite(m.lower) || !std::isfinite(m.upper)) return std::nullopt;
    return m;
}

// The record the approval digest is taken over.
struct Evidence {
    std::string source;
    std::vector<LeanAnnotation> annotations;

    template <class V> void fields(V& v) { v("annotations", annotations); v("source", source); }
};

LeanComparison unavailable(const char* text) { return {std::nullopt, text}; }

}  // namespace

double LeanAnalysis::wrap(double x) {
    double r = std::fmod(x + 90, 180);
    if (r < 0) r += 180;
    return r - 90;
}

double LeanAnalysis::orientation(const LeanLine& line) {
    return wrap(degrees(std::atan2(line.b.x - line.a.x, line.a.y - line.b.y)));
}

double LeanAnalysis::sensitivity(const LeanLine& line) {
    return degrees(std::asin(2 * line.uncertainty / line.a.distance(line.b)));
}

std::optional<LeanMeasurement> LeanAnalysis::magnitude(const LeanLine& wheel, const std::optional<LeanLine>& reference,
                                                       const PixelRect& panel) {
    if (!wheel.valid(panel) || (reference && !reference->valid(panel))) return std::nullopt;
    const double referenceDirection = reference ? orientation(*reference) + 90 : 0;
    const double angle = std::abs(wrap(orientation(wheel) - referenceDirection));
    const double s = sensitivity(wheel) + (reference ? sensitivity(*reference) : 0);
    return finite({angle, std::max(0.0, angle - s), std::min(90.0, angle + s)});
}

std::optional<LeanMeasurement> LeanAnalysis::relative(const LeanLine& wheel, const LeanLine& reference,
                                                      const PixelRect& panel) {
    if (!wheel.valid(panel) || !reference.valid(panel)) return std::nullopt;
    const double rel = wrap(orientation(wheel) - orientation(reference));
    const double s = sensitivity(wheel) + sensitivity(reference);
    if (!(std::abs(rel) + s < 90)) return std::nullopt;
    return finite({rel, rel - s, rel + s});
}

std::optional<LeanMeasurement> LeanAnalysis::measure(const LeanAnnotation& annotation) {
    if (annotation.state == LeanState::unavailable || !annotation.wheel) return std::nullopt;
    switch (annotation.basis) {
        case LeanBasis::imageVertical:
            return magnitude(*annotation.wheel, std::nullopt, annotation.panel);
        case LeanBasis::assumedLevel:
            if (!annotation.reference) return std::nullopt;
            return magnitude(*annotation.wheel, annotation.reference, annotation.panel);
        case LeanBasis::sharedFeature:
            if (!annotation.reference) return std::nullopt;
            return relative(*annotation.wheel, *annotation.reference, annotation.panel);
    }
    return std::nullopt;
}

std::string LeanAnalysis::evidenceDigest(const ReviewDocument& document, const ReviewPair& pair) {
    Evidence evidence;
    for (const auto& id : pair.frameIDs()) {
        auto entry = document.leanAnnotations.find(id);
        if (entry == document.leanAnnotations.end()) throw PoseError(PoseErrorCode::notFound, missingAnnotationMessage);
        evidence.annotations.push_back(entry->second);
    }
    evidence.source = PairReview::evidenceHash(document, pair);
    return contentHash(json::canonical(evidence));
}

LeanComparison LeanAnalysis::compare(const ReviewDocument& document, const ReviewPair& pair) {
    // 1. Both annotations present, reviewed and measurable (subject first).
    if (!pair.referenceID) return unavailable(reviewEvidenceText);
    auto subjectEntry = document.leanAnnotations.find(pair.subjectID);
    auto referenceEntry = document.leanAnnotations.find(*pair.referenceID);
    if (subjectEntry == document.leanAnnotations.end() || referenceEntry == document.leanAnnotations.end())
        return unavailable(reviewEvidenceText);
    const LeanAnnotation& subject = subjectEntry->second;
    const LeanAnnotation& reference = referenceEntry->second;
    if (subject.state != LeanState::reviewed || reference.state != LeanState::reviewed)
        return unavailable(reviewEvidenceText);
    const auto s = measure(subject);
    if (!s) return unavailable(reviewEvidenceText);
    const auto r = measure(reference);
    if (!r) return unavailable(reviewEvidenceText);

    // 2. The document's lean data as a whole.
    LeanReview::validate(document);

    // 3. Same basis and cue; shared features must name the same segment.
    if (subject.basis != reference.basis || subject.cue != reference.cue ||
        (subject.basis == LeanBasis::sharedFeature &&
         (subject.featureID.empty() || subject.featureID != reference.featureID)))
        return unavailable(incompatibleText);

    // 4. The reviewer's answers, and an approval of exactly this evidence.
    auto context = document.leanContexts.find(pair.id);
    if (context == document.leanContexts.end() || !context->second.checksComplete() ||
        (subject.basis == LeanBasis::imageVertical && !context->second.comparableCameraRoll))
        return unavailable(unreviewedText);
    const std::string digest = evidenceDigest(document, pair);
    if (!context->second.approvalDigest || *context->second.approvalDigest != digest) return unavailable(unreviewedText);

    // 5. The difference with its bounds.
    LeanMeasurement m;
    if (subject.basis == LeanBasis::sharedFeature) {
        const double rel = wrap(s->angle - r->angle);
        const double half = ((s->upper - s->lower) + (r->upper - r->lower)) / 2;
        if (!(std::abs(rel) + half < 90)) return unavailable(ambiguousText);
        m = {rel, rel - half, rel + half};
    } else {
        m = {s->angle - r->angle, s->lower - r->upper, s->upper - r->lower};
    }

    // 6. The sentence.
    std::string summary;
    if (m.lower <= 0 && 0 <= m.upper)
        summary = overlapsZeroText;
    else if (subject.basis == LeanBasis::sharedFeature)
        summary = std::string("Rider rotates toward image ") + (m.angle > 0 ? "right" : "left") +
                  " relative to Reference rider and the matched feature.";
    else
        summary = std::string("Rider shows a ") + (m.angle > 0 ? "larger" : "smaller") +
                  " apparent 2D wheel angle than Reference rider.";
    return {m, summary};
}

}  // namespace torvane
