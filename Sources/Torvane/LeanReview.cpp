#include "Torvane/LeanReview.h"

#include <algorithm>

#include "Torvane/PairReview.h"

namespace torvane {

void LeanReview::validate(const ReviewDocument& document) {
    if (document.schemaVersion < 1 || document.schemaVersion > 3) throw PoseError(PoseErrorCode::invalidDocument, schemaMessage);
    if (document.schemaVersion < 3 && (!document.leanAnnotations.empty() || !document.leanContexts.empty()))
        throw PoseError(PoseErrorCode::invalidDocument, schemaMessage);
    for (const auto& [frameID, annotation] : document.leanAnnotations) {  // sorted key order
        const ReviewFrame* frame = document.frame(frameID);
        if (!frame) throw PoseError(PoseErrorCode::invalidDocument, orphanMessage);
        annotation.validate(*frame);
    }
    const auto pairs = PairReview::resolve(document.frames);
    for (const auto& [pairID, context] : document.leanContexts) {
        bool found = std::any_of(pairs.begin(), pairs.end(),
                                 [&](const ReviewPair& p) { return p.id == pairID && p.referenceID; });
        if (!found) throw PoseError(PoseErrorCode::invalidDocument, pairMessage);
    }
}

}  // namespace torvane
