#include "Torvane/PairContext.h"

#include "Torvane/PairReview.h"
#include "Torvane/Text.h"

namespace torvane {

bool PhotoCoachingReview::pointsValid(const std::string& provenance, const std::vector<PhotoCoachingPoint>& points) {
    if (isBlank(provenance) || points.empty() || points.size() > 3) return false;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (isBlank(points[i].title) || isBlank(points[i].detail)) return false;
        for (std::size_t j = i + 1; j < points.size(); ++j)
            if (points[i].title == points[j].title) return false;
    }
    return true;
}

void PhotoCoachingReview::validate() const {
    if (cornerDirection == CornerDirection::unknown || !pointsValid(provenance, points))
        throw PoseError::invalidInput(invalidMessage);
}

PairContext::PairContext(const ReviewDocument& document, const ReviewPair& pair) {
    if (!pair.referenceID) throw PoseError::invalidInput("This photo has no reference.");
    evidenceHash = PairReview::evidenceHash(document, pair);
    pairID = pair.id;
    subjectID = pair.subjectID;
    referenceID = *pair.referenceID;
}

}  // namespace torvane
