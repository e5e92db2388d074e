// Coaching written by hand: imported into the comparison contexts of pairs, or loaded from
// a file for unpaired subject photos. Both accept coaching only for the exact source
// evidence it was written for and only as one to three distinct points.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Torvane/Geometry.h"
#include "Torvane/Json.h"
#include "Torvane/PairReview.h"

namespace torvane {

struct PhotoCoachingImport {
    static constexpr const char* pairsMessage = "Photo coaching import has no pairs or duplicate pairs.";
    static constexpr const char* missingMessage = "Missing photo coaching.";

    // A copy of `document` at schema 3 and the next revision whose contexts for the
    // imported pairs carry the imported coaching; every other decision of the document is
    // kept. Refuses an inconsistent document, an empty or repeating import, and contexts
    // that do not match the document's evidence or carry no or malformed coaching.
    static ReviewDocument apply(const std::vector<PairContext>& contexts, const ReviewDocument& document);
};

// Coaching for one subject photo without a reference rider.
struct SinglePhotoCoaching {
    std::string frameID;
    std::string sourceHash;
    PixelRect panel;
    std::string provenance;
    std::vector<PhotoCoachingPoint> points;

    static constexpr const char* invalidMessage =
        "Single-photo coaching needs matching unpaired source evidence and one to three distinct, nonempty points.";

    // Reads a JSON array of records and checks each against `frames`; keyed by frame id.
    static std::map<std::string, SinglePhotoCoaching> load(const std::filesystem::path& path,
                                                           const std::vector<ReviewFrame>& frames);
    // The checks of `load` on records already decoded (an upload, say), in file order.
    static std::map<std::string, SinglePhotoCoaching> check(std::vector<SinglePhotoCoaching> records,
                                                            const std::vector<ReviewFrame>& frames);

    bool operator==(const SinglePhotoCoaching&) const = default;
    template <class V> void fields(V& v) {
        v("frameID", frameID); v("panel", panel); v("points", points); v("provenance", provenance);
        v("sourceHash", sourceHash);
    }
};

}  // namespace torvane
