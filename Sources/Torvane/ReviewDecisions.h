// The reviewer's decisions after the joints: a pair's comparison context, wheel-lean lines
// and their approval, imported photo coaching, and the per-photo coaching checklists.
// Each decision works on a copy of the document and returns it, checked by the library, or
// throws the library's refusal; the caller raises the revision and saves through the store.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Torvane/CoachingChecklist.h"
#include "Torvane/Json.h"
#include "Torvane/LeanAnnotation.h"
#include "Torvane/LeanReview.h"
#include "Torvane/PairContext.h"
#include "Torvane/PairReview.h"
#include "Torvane/PhotoCoaching.h"
#include "Torvane/ReviewDocument.h"

namespace torvane {

// Judgements to set on a pair's comparison context; absent fields and features not named
// stay as stored.
struct PairContextEdit {
    std::optional<bool> subjectConfirmed;
    std::optional<bool> referenceConfirmed;
    std::optional<CornerDirection> cornerDirection;
    std::optional<std::map<PairFeature, ViewComparability>> comparability;
    std::optional<std::map<PairFeature, KneePlacement>> kneePlacement;  // knees only

    bool operator==(const PairContextEdit&) const = default;
    template <class V> void fields(V& v) {
        v("comparability", comparability); v("cornerDirection", cornerDirection); v("kneePlacement", kneePlacement);
        v("referenceConfirmed", referenceConfirmed); v("subjectConfirmed", subjectConfirmed);
    }
};

// A frame's lean annotation as the reviewer leaves it: every field the reviewer may
// change. Cue and provenance stay as stored when absent.
struct LeanAnnotationEdit {
    std::optional<LeanLine> wheel;
    std::optional<LeanLine> reference;
    LeanBasis basis = LeanBasis::imageVertical;
    LeanState state = LeanState::draft;
    bool referenceReviewed = false;
    std::string featureID;
    std::optional<std::string> cue;
    std::optional<std::string> provenance;

    bool operator==(const LeanAnnotationEdit&) const = default;
    template <class V> void fields(V& v) {
        v("basis", basis); v("cue", cue); v("featureID", featureID); v("provenance", provenance);
        v("reference", reference); v("referenceReviewed", referenceReviewed); v("state", state); v("wheel", wheel);
    }
};

// The reviewer's answers about a pair's lean comparison; `approve` stores the digest of
// the lean evidence as it is now, otherwise any stored approval is withdrawn.
struct LeanContextEdit {
    bool commonCue = false;
    bool comparableView = false;
    bool comparableHeading = false;
    bool comparableReference = false;
    bool comparableCameraRoll = false;
    bool similarSpeedReported = false;
    bool approve = false;

    bool operator==(const LeanContextEdit&) const = default;
    template <class V> void fields(V& v) {
        v("approve", approve); v("commonCue", commonCue); v("comparableCameraRoll", comparableCameraRoll);
        v("comparableHeading", comparableHeading); v("comparableReference", comparableReference);
        v("comparableView", comparableView); v("similarSpeedReported", similarSpeedReported);
    }
};

struct ReviewDecisions {
    static constexpr const char* kneeOnlyMessage = "Knee placement applies to the left and right knee only.";
    static constexpr const char* notStaleMessage =
        "This comparison context still matches its evidence; there is nothing to renew.";

    // The resolved pair with that id; "The document has no pair ID." otherwise.
    static ReviewPair pair(const ReviewDocument& document, const std::string& pairID);

    // Why a stored context no longer belongs to the document's evidence, in the words of
    // the pair review; absent while it still matches.
    static std::optional<std::string> staleness(const ReviewDocument& document, const PairContext& context);

    // The pair's stored context, or a fresh one when it has none (not stored).
    static PairContext context(const ReviewDocument& document, const ReviewPair& pair);

    // Sets judgements on the pair's context, making the context on the first decision.
    // A stale context is refused with its message: it must be renewed first.
    static ReviewDocument setPairContext(const ReviewDocument& document, const std::string& pairID,
                                         const PairContextEdit& edit);

    // Replaces a stale context by a fresh one for the current evidence. The caller shows
    // the old decisions so the reviewer can enter them again.
    static ReviewDocument renewPairContext(const ReviewDocument& document, const std::string& pairID);

    // Replaces the frame's lean annotation (made on the first edit; the first wheel line is
    // kept as the original proposal) after the library's checks.
    static ReviewDocument setLeanAnnotation(const ReviewDocument& document, const std::string& frameID,
                                            const LeanAnnotationEdit& edit);

    // Sets the pair's lean answers and approval.
    static ReviewDocument setLeanContext(const ReviewDocument& document, const std::string& pairID,
                                         const LeanContextEdit& edit);

    // Imports a JSON array of pair contexts carrying photo coaching. The revision stays as
    // it was, like every decision here; the caller raises it once when saving.
    static ReviewDocument importPhotoCoaching(const ReviewDocument& document, std::string_view contextsJSON);
};

// The coaching checklists of a review, one file beside the review document.
struct ChecklistStore {
    static constexpr const char* conflictMessage =
        "A newer or different checklist is already saved for this photo. Reopen it before editing; your unsaved "
        "changes remain in this window.";

    // "coaching-checklist-" + the review document's 12 digits + ".json", beside it.
    static std::filesystem::path path(const std::filesystem::path& documentPath);

    // The saved checklists checked against the frames; none when the file does not exist.
    static std::map<std::string, CoachingChecklistReview> load(const std::filesystem::path& path,
                                                               const std::vector<ReviewFrame>& frames);

    // What a saver names as the version it edited: the hash of the frame's saved
    // checklist, or "none" when the photo has none.
    static std::string version(const std::optional<CoachingChecklistReview>& review);

    // Replaces one photo's checklist under the lock "PATH.lock" when the saved one is still
    // `expectedVersion`, rewriting the file atomically. Every refusal leaves it as it was.
    static void save(const std::filesystem::path& path, const std::vector<ReviewFrame>& frames,
                     const CoachingChecklistReview& review, const std::string& expectedVersion);
};

// The single-photo coaching of a review's unpaired subject photos, one file beside the
// review document.
struct SinglePhotoCoachingStore {
    static constexpr const char* conflictMessage =
        "Other single-photo coaching was saved for this session since this page was opened. The page now shows it; "
        "import your file again to add it.";

    // "single-photo-coaching-" + the review document's 12 digits + ".json", beside it.
    static std::filesystem::path path(const std::filesystem::path& documentPath);

    // The saved coaching checked against the frames; none when the file does not exist.
    static std::map<std::string, SinglePhotoCoaching> load(const std::filesystem::path& path,
                                                           const std::vector<ReviewFrame>& frames);

    // What an importer names as the version it saw: the hash of the saved file, "none"
    // when there is none.
    static std::string version(const std::filesystem::path& path);

    // Imports the text of a coach's single-photo coaching file: checked on its own, its
    // records replace the saved ones of the same photos, and the file is rewritten
    // atomically under "PATH.lock" when it is still `expectedVersion`. Every refusal leaves
    // it as it was. Returns what is saved now.
    static std::map<std::string, SinglePhotoCoaching> import(const std::filesystem::path& path,
                                                             const std::vector<ReviewFrame>& frames,
                                                             std::string_view contents,
                                                             const std::string& expectedVersion);
};

}  // namespace torvane
