#include "Torvane/ReviewDecisions.h"

#include <algorithm>

#include "Torvane/ContentHash.h"
#include "Torvane/LeanAnalysis.h"
#include "Torvane/PhotoCoaching.h"
#include "Torvane/ReviewStore.h"
#include "Torvane/platform/FileSystem.h"
#include "Torvane/platform/ReviewFiles.h"

namespace torvane {

namespace fs = std::filesystem;

namespace {

PairContext* storedContext(ReviewDocument& document, const std::string& pairID) {
    for (auto& context : document.comparisonContexts)
        if (context.pairID == pairID) return &context;
    return nullptr;
}

const PairContext* storedContext(const ReviewDocument& document, const std::string& pairID) {
    return storedContext(const_cast<ReviewDocument&>(document), pairID);
}

// Every decision leaves a document the store would save: current schema, consistent
// pairs and lean data.
ReviewDocument checked(ReviewDocument document) {
    document.schemaVersion = ReviewDocument::currentSchema;
    PairReview::validate(document);
    LeanReview::validate(document);
    return document;
}

}  // namespace

ReviewPair ReviewDecisions::pair(const ReviewDocument& document, const std::string& pairID) {
    for (auto& pair : PairReview::resolve(document.frames))
        if (pair.id == pairID) return pair;
    throw PoseError(PoseErrorCode::notFound, "The document has no pair " + pairID + ".");
}

std::optional<std::string> ReviewDecisions::staleness(const ReviewDocument& document, const PairContext& context) {
    // The pair review's own check, run on this context alone, decides and words it.
    ReviewDocument probe = document;
    probe.schemaVersion = ReviewDocument::currentSchema;
    probe.comparisonContexts = {context};
    try {
        PairReview::validate(probe);
    } catch (const PoseError& e) {
        return e.message();
    }
    return std::nullopt;
}

PairContext ReviewDecisions::context(const ReviewDocument& document, const ReviewPair& pair) {
    if (const PairContext* stored = storedContext(document, pair.id)) return *stored;
    return PairContext(document, pair);
}

ReviewDocument ReviewDecisions::setPairContext(const ReviewDocument& document, const std::string& pairID,
                                               const PairContextEdit& edit) {
    if (edit.kneePlacement)
        for (const auto& [feature, placement] : *edit.kneePlacement)
            if (feature != PairFeature::leftKnee && feature != PairFeature::rightKnee)
                throw PoseError::invalidInput(kneeOnlyMessage);
    const ReviewPair target = pair(document, pairID);
    ReviewDocument out = document;
    PairContext* context = storedContext(out, pairID);
    if (context) {
        if (auto stale = staleness(document, *context)) throw PoseError::invalidInput(*stale);
    } else {
        out.comparisonContexts.push_back(PairContext(document, target));
        context = &out.comparisonContexts.back();
    }
    if (edit.subjectConfirmed) context->subjectConfirmed = *edit.subjectConfirmed;
    if (edit.referenceConfirmed) context->referenceConfirmed = *edit.referenceConfirmed;
    if (edit.cornerDirection) context->cornerDirection = *edit.cornerDirection;
    if (edit.comparability)
        for (const auto& [feature, value] : *edit.comparability) context->comparability[feature] = value;
    if (edit.kneePlacement) {
        if (!context->kneePlacement) context->kneePlacement.emplace();
        for (const auto& [feature, value] : *edit.kneePlacement) (*context->kneePlacement)[feature] = value;
    }
    return checked(std::move(out));
}

ReviewDocument ReviewDecisions::renewPairContext(const ReviewDocument& document, const std::string& pairID) {
    const ReviewPair target = pair(document, pairID);
    ReviewDocument out = document;
    PairContext* context = storedContext(out, pairID);
    if (context && !staleness(document, *context)) throw PoseError::invalidInput(notStaleMessage);
    PairContext fresh(document, target);
    if (context)
        *context = fresh;
    else
        out.comparisonContexts.push_back(fresh);
    return checked(std::move(out));
}

ReviewDocument ReviewDecisions::setLeanAnnotation(const ReviewDocument& document, const std::string& frameID,
                                                  const LeanAnnotationEdit& edit) {
    const ReviewFrame* frame = document.frame(frameID);
    if (!frame) throw PoseError(PoseErrorCode::notFound, "The document has no frame " + frameID + ".");
    ReviewDocument out = document;
    auto found = out.leanAnnotations.find(frameID);
    LeanAnnotation annotation = found != out.leanAnnotations.end() ? found->second : LeanAnnotation(*frame);
    annotation.wheel = edit.wheel;
    if (!annotation.originalProposal) annotation.originalProposal = edit.wheel;
    annotation.reference = edit.reference;
    annotation.basis = edit.basis;
    annotation.state = edit.state;
    annotation.referenceReviewed = edit.referenceReviewed;
    annotation.featureID = edit.featureID;
    if (edit.cue) annotation.cue = *edit.cue;
    if (edit.provenance) annotation.provenance = *edit.provenance;
    annotation.validate(*frame);
    out.leanAnnotations[frameID] = std::move(annotation);
    return checked(std::move(out));
}

ReviewDocument ReviewDecisions::setLeanContext(const ReviewDocument& document, const std::string& pairID,
                                               const LeanContextEdit& edit) {
    const ReviewPair target = pair(document, pairID);
    ReviewDocument out = document;
    LeanPairContext context;
    context.commonCue = edit.commonCue;
    context.comparableView = edit.comparableView;
    context.comparableHeading = edit.comparableHeading;
    context.comparableReference = edit.comparableReference;
    context.comparableCameraRoll = edit.comparableCameraRoll;
    context.similarSpeedReported = edit.similarSpeedReported;
    if (edit.approve) context.approvalDigest = LeanAnalysis::evidenceDigest(document, target);
    out.leanContexts[pairID] = context;
    return checked(std::move(out));
}

ReviewDocument ReviewDecisions::importPhotoCoaching(const ReviewDocument& document, std::string_view contextsJSON) {
    ReviewDocument out = PhotoCoachingImport::apply(json::decodeText<std::vector<PairContext>>(contextsJSON), document);
    out.revision = document.revision;
    return out;
}

// Checklists.

namespace {

// A file of ours beside the review document: `prefix` + the document's 12 digits + ".json".
fs::path besideDocument(const fs::path& documentPath, const std::string& prefix) {
    std::string name = documentPath.filename().string();
    const std::string own = "joint-review-";
    if (name.rfind(own, 0) == 0) name = name.substr(own.size());
    return documentPath.parent_path() / (prefix + name);
}

// Runs a read-check-rewrite of such a file under its "PATH.lock", as the review store
// locks the document, so savers in other processes take turns.
template <class Work>
void underLock(const fs::path& path, const char* what, Work work) {
    fs::path lockFile = path;
    lockFile += ".lock";
    platform::ExclusiveLock lock(lockFile);
    if (!lock.isOpen() || !lock.acquire(ReviewStore::lockPatience))
        throw PoseError(PoseErrorCode::lockFailed, std::string("Cannot lock the ") + what + " file for saving.");
    work();
}

}  // namespace

fs::path ChecklistStore::path(const fs::path& documentPath) { return besideDocument(documentPath, "coaching-checklist-"); }

std::map<std::string, CoachingChecklistReview> ChecklistStore::load(const fs::path& path,
                                                                    const std::vector<ReviewFrame>& frames) {
    if (!platform::entryExists(path)) return {};
    return CoachingChecklist::load(path, frames);
}

std::string ChecklistStore::version(const std::optional<CoachingChecklistReview>& review) {
    return review ? contentHash(json::canonical(*review)) : "none";
}

void ChecklistStore::save(const fs::path& path, const std::vector<ReviewFrame>& frames,
                          const CoachingChecklistReview& review, const std::string& expectedVersion) {
    review.validate(frames);
    underLock(path, "checklist", [&] {
        auto saved = load(path, frames);
        std::optional<CoachingChecklistReview> current;
        if (auto found = saved.find(review.frameID); found != saved.end()) current = found->second;
        if (version(current) != expectedVersion) throw PoseError(PoseErrorCode::conflict, conflictMessage);
        saved[review.frameID] = review;

        std::vector<CoachingChecklistReview> all;
        for (auto& [id, entry] : saved) all.push_back(std::move(entry));
        platform::replaceFileDurably(path, platform::hiddenSibling(path, ".saving"), json::pretty(all));
    });
}

// Single-photo coaching.

fs::path SinglePhotoCoachingStore::path(const fs::path& documentPath) {
    return besideDocument(documentPath, "single-photo-coaching-");
}

std::map<std::string, SinglePhotoCoaching> SinglePhotoCoachingStore::load(const fs::path& path,
                                                                          const std::vector<ReviewFrame>& frames) {
    if (!platform::entryExists(path)) return {};
    return SinglePhotoCoaching::load(path, frames);
}

std::string SinglePhotoCoachingStore::version(const fs::path& path) {
    if (!platform::entryExists(path)) return "none";
    return contentHash(platform::readFile(path, platform::recordFileLimit));
}

std::map<std::string, SinglePhotoCoaching> SinglePhotoCoachingStore::import(const fs::path& path,
                                                                            const std::vector<ReviewFrame>& frames,
                                                                            std::string_view contents,
                                                                            const std::string& expectedVersion) {
    const auto imported = SinglePhotoCoaching::check(json::decodeText<std::vector<SinglePhotoCoaching>>(contents), frames);
    std::map<std::string, SinglePhotoCoaching> saved;
    underLock(path, "single-photo coaching", [&] {
        // One read gives both the version and the records, so they describe the same bytes.
        const bool exists = platform::entryExists(path);
        const std::string bytes = exists ? platform::readFile(path, platform::recordFileLimit) : std::string();
        if ((exists ? contentHash(bytes) : "none") != expectedVersion)
            throw PoseError(PoseErrorCode::conflict, conflictMessage);
        // A saved file that no longer loads is never overwritten.
        if (exists) {
            try {
                saved = SinglePhotoCoaching::check(json::decodeText<std::vector<SinglePhotoCoaching>>(bytes), frames);
            } catch (const DecodingError& error) {
                throw json::inFile(error, path);
            }
        }
        for (const auto& [id, record] : imported) saved.insert_or_assign(id, record);
        std::vector<SinglePhotoCoaching> all;
        for (const auto& [id, record] : saved) all.push_back(record);
        platform::replaceFileDurably(path, platform::hiddenSibling(path, ".saving"), json::pretty(all));
    });
    return saved;
}

}  // namespace torvane
