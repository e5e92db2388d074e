// The check of all lean data of a review document.
#pragma once

#include "Torvane/ReviewDocument.h"

namespace torvane {

struct LeanReview {
    static constexpr const char* schemaMessage = "Lean evidence requires review schema 3.";
    static constexpr const char* orphanMessage = "Orphan lean annotation.";
    static constexpr const char* pairMessage = "Lean comparison requires an existing pair.";

    // Lean data only in schema 3, annotations (visited in key order) on existing frames
    // and sound, frames that resolve into pairs, contexts only for pairs with a reference.
    static void validate(const ReviewDocument& document);
};

}  // namespace torvane
