#include "Torvane/PairContext.h"

#include "Torvane/PairReview.h"
#include "Torvane/Text.h"

namespace torvane {

void PhotoCoachingReview::validate() const {
    bool valid = cornerDirection != CornerDirection::unknown && !isBlank(provenance) && !points.empty() &&
                 points.size() <= 3;
    for (std::size_t i = 0; valid && i < points.size(); ++i)
        for (std::size_t j = i + 1; j < points.size(); ++j)
            if (points[i].title == points[j].title) valid = false;
    for (std::size_t i = 0; valid && i < points.size(); ++i)
        if (isBlank(points[i].title) || isBlank(points[i].detail)) valid = false;
    if (!valid) throw PoseError::invalidInput(invalidMessage);
}

PairContext::PairContext(const ReviewDocument& document, const ReviewPair& pair) {
    if (!pair.referenceID) throw PoseError::invalidInput("This photo has no reference.");
    evidenceHash = PairReview::evidenceHash(document, pair);
    pairID = pair.id;
    subjectID = pair.subjectID;
    referenceID = *pair.referenceID;
}

}  // namespace torvane
