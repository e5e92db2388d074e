// Pairs of review frames and the checks that bind a comparison context to the exact source
// evidence it was made for.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "Torvane/ReviewDocument.h"

namespace torvane {

// The frames of one pair, derived from the frames' pairID and role; never stored.
struct ReviewPair {
    std::string id;
    std::string subjectID;
    std::optional<std::string> referenceID;

    // The subject frame's id, then the reference frame's id when there is one.
    std::vector<std::string> frameIDs() const;

    bool operator==(const ReviewPair&) const = default;
    template <class V> void fields(V& v) { v("id", id); v("referenceID", referenceID); v("subjectID", subjectID); }
};

// Derives pairs from frames and checks the comparison contexts of a document.
struct PairReview {
    // Pairs ordered by pair id; refuses duplicate frame ids and groups that are not one
    // subject with at most one reference.
    static std::vector<ReviewPair> resolve(const std::vector<ReviewFrame>& frames);

    // SHA-256 of the canonical JSON of the document's two hashes and the identity, photo
    // and panel of the pair's frames (subject first).
    static std::string evidenceHash(const ReviewDocument& document, const ReviewPair& pair);

    // Every comparison context must belong to a resolved pair with a reference and still
    // carry that pair's evidence hash.
    static void validate(const ReviewDocument& document);
};

// Where a pending joint edit was started, so it is applied only in the same session and canvas.
struct ReviewEditTarget {
    std::string session;  // UUIDs assigned by the application
    std::string canvas;
    std::string frameID;
    std::string joint;

    // Position in `document.frames` of the frame to edit, or absent when the target does
    // not belong to this session and canvas, its frame is not visible or its joint unknown.
    std::optional<std::size_t> index(const ReviewDocument& document, const std::string& session,
                                     const std::string& canvas, const std::vector<std::string>& visibleIDs) const;

    bool operator==(const ReviewEditTarget&) const = default;
};

}  // namespace torvane
