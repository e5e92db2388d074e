#include "Torvane/LeanAnnotation.h"

#include <cmath>

#include "Torvane/ReviewDocument.h"
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

}  // namespace torvane
