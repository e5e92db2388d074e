#include "Torvane/LeanReview.h"

#include <algorithm>
#include <cmath>

#include "Torvane/Text.h"

namespace torvane {

namespace {
bool inside(const Point2& p, const PixelRect& panel) {
    return std::isfinite(p.x) && std::isfinite(p.y) && panel.x <= p.x && p.x < panel.x + panel.width &&
           panel.y <= p.y && p.y < panel.y + panel.height;
}
}  // namespace

bool LeanLine::valid(const PixelRect& panel) const {
    return inside(a, panel) && inside(b, panel) && std::isfinite(uncertainty) && uncertainty > 0 &&
           2 * uncertainty < std::hypot(b.x - a.x, b.y - a.y);
}

std::string_view label(LeanBasis basis) {
    switch (basis) {
        case LeanBasis::imageVertical: return "Image vertical";
        case LeanBasis::assumedLevel: return "Assumed level line";
        case LeanBasis::sharedFeature: return "Shared stationary feature";
    }
    return {};
}

LeanAnnotation::LeanAnnotation(const ReviewFrame& frame, std::optional<LeanLine> wheel, std::string provenance)
    : frameID(frame.id), sourceHash(frame.sourceHash), panel(frame.panel), wheel(std::move(wheel)),
      provenance(std::move(provenance)) {}

void LeanAnnotation::validate(const ReviewFrame& frame) const {
    auto lineValid = [&](const std::optional<LeanLine>& line) { return !line || line->valid(panel); };
    bool valid = frameID == frame.id && sourceHash == frame.sourceHash && panel == frame.panel && !isBlank(cue) &&
                 !isBlank(provenance) && lineValid(wheel) && lineValid(reference) && lineValid(originalProposal);
    if (valid && state == LeanState::reviewed) {
        valid = wheel.has_value() &&
                (basis == LeanBasis::imageVertical || (reference.has_value() && referenceReviewed)) &&
                (basis != LeanBasis::sharedFeature || !isBlank(featureID));
    }
    if (!valid) throw PoseError::invalidInput(invalidMessage);
}

void LeanReview::validate(const ReviewDocument& document) {
    if (document.schemaVersion < 1 || document.schemaVersion > 3) throw PoseError::invalidInput(schemaMessage);
    if (document.schemaVersion < 3 && (!document.leanAnnotations.empty() || !document.leanContexts.empty()))
        throw PoseError::invalidInput(schemaMessage);
    for (const auto& [frameID, annotation] : document.leanAnnotations) {  // sorted key order
        const ReviewFrame* frame = document.frame(frameID);
        if (!frame) throw PoseError::invalidInput(orphanMessage);
        annotation.validate(*frame);
    }
    const auto pairs = PairReview::resolve(document.frames);
    for (const auto& [pairID, context] : document.leanContexts) {
        bool found = std::any_of(pairs.begin(), pairs.end(),
                                 [&](const ReviewPair& p) { return p.id == pairID && p.referenceID; });
        if (!found) throw PoseError::invalidInput(pairMessage);
    }
}

}  // namespace torvane
