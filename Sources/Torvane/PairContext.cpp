#include "Torvane/PairContext.h"

#include <cctype>

#include "Torvane/PairReview.h"
#include "Torvane/Text.h"

namespace torvane {

std::array<std::string_view, 3> joints(PairFeature feature) {
    switch (feature) {
        case PairFeature::leftElbow: return {"left_shoulder", "left_elbow", "left_wrist"};
        case PairFeature::rightElbow: return {"right_shoulder", "right_elbow", "right_wrist"};
        case PairFeature::leftKnee: return {"left_hip", "left_knee", "left_ankle"};
        case PairFeature::rightKnee: return {"right_hip", "right_knee", "right_ankle"};
    }
    return {};
}

std::string label(PairFeature feature) {
    std::string out(joints(feature)[1]);
    bool wordStart = true;
    for (char& c : out) {
        if (c == '_') {
            c = ' ';
            wordStart = true;
        } else {
            c = wordStart ? static_cast<char>(std::toupper(static_cast<unsigned char>(c)))
                          : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            wordStart = false;
        }
    }
    return out;
}

std::string_view label(KneePlacement placement) {
    switch (placement) {
        case KneePlacement::unreviewed: return "Not reviewed";
        case KneePlacement::closerToTank: return "Closer to tank than reference";
        case KneePlacement::fartherFromTank: return "Farther from tank than reference";
        case KneePlacement::similar: return "Similar to reference";
        case KneePlacement::unassessable: return "Cannot compare these views";
    }
    return {};
}

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
