// One-step edits of a saved joint review, as the desk and the command line make them: load
// what is on disk, apply one library operation, raise the revision by one and save with the
// loaded revision expected, so that a save made elsewhere in between is refused, not lost.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "Torvane/ReviewDocument.h"
#include "Torvane/ReviewStore.h"

namespace torvane {

struct ReviewEditing {
    static constexpr const char* nothingToUndoMessage = "There is no joint change left to undo on this rider.";

    // A joint as a person names it: "right_shoulder", "right shoulder" (any case) or its
    // number on the pictures ("9"). Anything else fails with a message listing the names.
    static std::string jointName(std::string_view text);

    // Records a decision; `confirmed` without a point confirms the point displayed for
    // `kind` ("2D" or "3D"), so a joint without a displayed point cannot be confirmed.
    static void decide(ReviewFrame& frame, const std::string& joint, std::optional<Point2> point,
                       JointReviewState state, std::string_view kind = "2D");

    // The change an undo takes back: the latest "review" change not already cancelled by a
    // later "undo" entry (each undo cancels the nearest uncancelled change before it).
    static std::optional<JointChange> undoable(const ReviewFrame& frame);
    // Restores the edit the undoable change replaced; fails when there is none.
    static JointChange undo(ReviewFrame& frame);

    // Loads the document saved at `path` (or, when nothing is saved there and `make` is given,
    // the fresh document it returns), refuses it when `seenRevision` is given and differs
    // from the loaded revision, applies `change`, raises the revision by one and saves with
    // the loaded revision expected (none for a fresh document). Returns what was saved.
    static ReviewDocument update(const std::filesystem::path& path, const std::function<void(ReviewDocument&)>& change,
                                 const std::function<ReviewDocument()>& make = {},
                                 std::optional<std::int64_t> seenRevision = std::nullopt);
};

}  // namespace torvane
