#include "Torvane/PhotoCoaching.h"

#include <algorithm>
#include <set>

#include "Torvane/LeanReview.h"
#include "Torvane/platform/FileSystem.h"

namespace torvane {

ReviewDocument PhotoCoachingImport::apply(const std::vector<PairContext>& contexts, const ReviewDocument& document) {
    PairReview::validate(document);
    LeanReview::validate(document);

    std::set<std::string> pairIDs;
    for (const auto& c : contexts) pairIDs.insert(c.pairID);
    if (contexts.empty() || pairIDs.size() != contexts.size()) throw PoseError::invalidInput(pairsMessage);

    // The imported contexts must stand on their own against the document's evidence.
    ReviewDocument candidate = document;
    candidate.schemaVersion = 3;
    candidate.comparisonContexts = contexts;
    PairReview::validate(candidate);

    ReviewDocument result = document;
    result.schemaVersion = 3;
    const auto pairs = PairReview::resolve(document.frames);
    for (const auto& imported : contexts) {
        if (!imported.photoCoaching) throw PoseError::invalidInput(missingMessage);
        auto pair = std::find_if(pairs.begin(), pairs.end(), [&](const ReviewPair& p) { return p.id == imported.pairID; });
        // Unreachable after the candidate check, but never continue without the pair.
        if (pair == pairs.end())
            throw PoseError(PoseErrorCode::changedEvidence, "Comparison approval belongs to different source evidence.");
        auto existing = std::find_if(document.comparisonContexts.begin(), document.comparisonContexts.end(),
                                     [&](const PairContext& c) { return c.pairID == imported.pairID; });
        // Only the coaching is taken from the import; the reviewer's decisions stay.
        PairContext base = existing != document.comparisonContexts.end() ? *existing : PairContext(document, *pair);
        base.photoCoaching = imported.photoCoaching;
        std::erase_if(result.comparisonContexts, [&](const PairContext& c) { return c.pairID == imported.pairID; });
        result.comparisonContexts.push_back(std::move(base));
    }
    result.revision = document.revision + 1;
    return result;
}

namespace {

bool acceptable(const SinglePhotoCoaching& r, const std::map<std::string, SinglePhotoCoaching>& loaded,
                const std::vector<ReviewFrame>& frames, const std::vector<ReviewPair>& pairs) {
    if (loaded.count(r.frameID)) return false;
    auto frame = std::find_if(frames.begin(), frames.end(), [&](const ReviewFrame& f) { return f.id == r.frameID; });
    if (frame == frames.end() || frame->role != "subject") return false;
    if (std::none_of(pairs.begin(), pairs.end(),
                     [&](const ReviewPair& p) { return p.subjectID == frame->id && !p.referenceID; }))
        return false;
    if (frame->sourceHash != r.sourceHash || !(frame->panel == r.panel)) return false;
    return PhotoCoachingReview::pointsValid(r.provenance, r.points);
}

}  // namespace

std::map<std::string, SinglePhotoCoaching> SinglePhotoCoaching::load(const std::filesystem::path& path,
                                                                     const std::vector<ReviewFrame>& frames) {
    return check(json::decodeFile<std::vector<SinglePhotoCoaching>>(path, platform::recordFileLimit), frames);
}

std::map<std::string, SinglePhotoCoaching> SinglePhotoCoaching::check(std::vector<SinglePhotoCoaching> records,
                                                                      const std::vector<ReviewFrame>& frames) {
    const auto pairs = PairReview::resolve(frames);
    std::map<std::string, SinglePhotoCoaching> out;
    for (auto& r : records) {
        if (!acceptable(r, out, frames, pairs)) throw PoseError::invalidInput(invalidMessage);
        out.emplace(r.frameID, std::move(r));
    }
    return out;
}

}  // namespace torvane
