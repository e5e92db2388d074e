#include "Torvane/PairReview.h"

#include <algorithm>
#include <map>
#include <set>

#include "Torvane/ContentHash.h"

namespace torvane {

std::vector<std::string> ReviewPair::frameIDs() const {
    std::vector<std::string> ids{subjectID};
    if (referenceID) ids.push_back(*referenceID);
    return ids;
}

std::vector<ReviewPair> PairReview::resolve(const std::vector<ReviewFrame>& frames) {
    std::set<std::string> ids;
    for (const auto& frame : frames)
        if (!ids.insert(frame.id).second) throw PoseError(PoseErrorCode::invalidDocument, "Duplicate frame identity.");

    // std::map orders pair ids by bytes, which is code-point order for UTF-8.
    std::map<std::string, std::vector<const ReviewFrame*>> groups;
    for (const auto& frame : frames) groups[frame.pairID].push_back(&frame);

    std::vector<ReviewPair> pairs;
    for (const auto& [pairID, members] : groups) {
        std::vector<const ReviewFrame*> subjects, references;
        for (const ReviewFrame* frame : members) {
            if (frame->role == "subject") subjects.push_back(frame);
            else if (frame->role == "reference") references.push_back(frame);
        }
        if (pairID.empty() || subjects.size() != 1 || references.size() > 1 ||
            subjects.size() + references.size() != members.size())
            throw PoseError(PoseErrorCode::invalidDocument, "Invalid pair roles for " + pairID + ".");
        ReviewPair pair{pairID, subjects[0]->id, std::nullopt};
        if (!references.empty()) pair.referenceID = references[0]->id;
        pairs.push_back(std::move(pair));
    }
    return pairs;
}

std::string PairReview::evidenceHash(const ReviewDocument& document, const ReviewPair& pair) {
    json::Value frames = json::Value::array();
    for (const auto& id : pair.frameIDs()) {
        const ReviewFrame* frame = document.frame(id);
        if (!frame) throw PoseError(PoseErrorCode::invalidDocument, "Missing pair frame.");
        frames.push_back(json::Value{{"id", frame->id},
                                     {"pair", frame->pairID},
                                     {"role", frame->role},
                                     {"rider", frame->rider},
                                     {"file", frame->file},
                                     {"hash", frame->sourceHash},
                                     {"panel", json::encode(frame->panel)}});
    }
    json::Value binding{{"manifest", document.manifestHash}, {"report", document.reportHash}, {"frames", frames}};
    return contentHash(json::canonicalText(binding));
}

void PairReview::validate(const ReviewDocument& document) {
    const auto pairs = resolve(document.frames);
    const std::string recordsMessage = "Invalid comparison context records.";
    std::set<std::string> contextPairs;
    for (const auto& context : document.comparisonContexts)
        if (!contextPairs.insert(context.pairID).second) throw PoseError(PoseErrorCode::invalidDocument, recordsMessage);
    if (document.schemaVersion == 1 && !document.comparisonContexts.empty())
        throw PoseError(PoseErrorCode::invalidDocument, recordsMessage);

    for (const auto& context : document.comparisonContexts) {
        if (context.photoCoaching) context.photoCoaching->validate();
        auto pair = std::find_if(pairs.begin(), pairs.end(), [&](const ReviewPair& p) { return p.id == context.pairID; });
        if (pair == pairs.end() || pair->subjectID != context.subjectID || pair->referenceID != context.referenceID ||
            evidenceHash(document, *pair) != context.evidenceHash)
            throw PoseError(PoseErrorCode::changedEvidence, "Comparison approval belongs to different source evidence.");
    }
}

std::optional<std::size_t> ReviewEditTarget::index(const ReviewDocument& document, const std::string& session,
                                                   const std::string& canvas,
                                                   const std::vector<std::string>& visibleIDs) const {
    if (this->session != session || this->canvas != canvas ||
        std::find(visibleIDs.begin(), visibleIDs.end(), frameID) == visibleIDs.end() ||
        !jointID(joint))
        return std::nullopt;
    for (std::size_t i = 0; i < document.frames.size(); ++i)
        if (document.frames[i].id == frameID) return i;
    return std::nullopt;
}

}  // namespace torvane
