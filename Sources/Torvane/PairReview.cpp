#include "Torvane/PairReview.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "Torvane/ContentHash.h"
#include "Torvane/InspectionRenderer.h"
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

std::vector<std::string> ReviewPair::frameIDs() const {
    std::vector<std::string> ids{subjectID};
    if (referenceID) ids.push_back(*referenceID);
    return ids;
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

std::vector<ReviewPair> PairReview::resolve(const std::vector<ReviewFrame>& frames) {
    std::set<std::string> ids;
    for (const auto& frame : frames)
        if (!ids.insert(frame.id).second) throw PoseError::invalidInput("Duplicate frame identity.");

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
            throw PoseError::invalidInput("Invalid pair roles for " + pairID + ".");
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
        if (!frame) throw PoseError::invalidInput("Missing pair frame.");
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
        if (!contextPairs.insert(context.pairID).second) throw PoseError::invalidInput(recordsMessage);
    if (document.schemaVersion == 1 && !document.comparisonContexts.empty())
        throw PoseError::invalidInput(recordsMessage);

    for (const auto& context : document.comparisonContexts) {
        if (context.photoCoaching) context.photoCoaching->validate();
        auto pair = std::find_if(pairs.begin(), pairs.end(), [&](const ReviewPair& p) { return p.id == context.pairID; });
        if (pair == pairs.end() || pair->subjectID != context.subjectID || pair->referenceID != context.referenceID ||
            evidenceHash(document, *pair) != context.evidenceHash)
            throw PoseError::invalidInput("Comparison approval belongs to different source evidence.");
    }
}

std::optional<std::size_t> ReviewEditTarget::index(const ReviewDocument& document, const std::string& session,
                                                   const std::string& canvas,
                                                   const std::vector<std::string>& visibleIDs) const {
    if (this->session != session || this->canvas != canvas ||
        std::find(visibleIDs.begin(), visibleIDs.end(), frameID) == visibleIDs.end() ||
        !InspectionRenderer::jointID(joint))
        return std::nullopt;
    for (std::size_t i = 0; i < document.frames.size(); ++i)
        if (document.frames[i].id == frameID) return i;
    return std::nullopt;
}

}  // namespace torvane
