#include "Torvane/ReviewEditing.h"

#include <algorithm>
#include <cctype>

#include "Torvane/PoseResult.h"
#include "Torvane/platform/FileSystem.h"

namespace torvane {

std::string ReviewEditing::jointName(std::string_view text) {
    std::string key;
    for (char c : text) key.push_back(c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    if (!key.empty() && std::all_of(key.begin(), key.end(), [](unsigned char c) { return std::isdigit(c); }) &&
        key.size() <= 2) {
        const auto number = std::stoul(key);
        if (number >= 1 && number <= jointNames.size())
            return std::string(jointNames[number - 1]);
    }
    if (jointID(key)) return key;
    std::string names;
    for (std::size_t i = 0; i < jointNames.size(); ++i)
        names += (i ? ", " : "") + std::to_string(i + 1) + " " + std::string(jointNames[i]);
    throw PoseError::invalidInput("Unknown joint \"" + std::string(text) + "\". Joints by number and name: " + names +
                                  ".");
}

void ReviewEditing::decide(ReviewFrame& frame, const std::string& joint, std::optional<Point2> point,
                           JointReviewState state, std::string_view kind) {
    if (!point && state == JointReviewState::confirmed) point = frame.displayPoint(joint, kind);
    frame.setJoint(joint, point, state);
}

std::optional<JointChange> ReviewEditing::undoable(const ReviewFrame& frame) {
    std::size_t cancelled = 0;
    for (auto it = frame.history.rbegin(); it != frame.history.rend(); ++it) {
        if (it->action == "undo") {
            ++cancelled;
        } else if (cancelled > 0) {
            --cancelled;
        } else {
            return *it;
        }
    }
    return std::nullopt;
}

JointChange ReviewEditing::undo(ReviewFrame& frame) {
    auto change = undoable(frame);
    if (!change) throw PoseError::invalidInput(nothingToUndoMessage);
    frame.restore(change->joint, change->before);
    return *change;
}

ReviewDocument ReviewEditing::update(const std::filesystem::path& path,
                                     const std::function<void(ReviewDocument&)>& change,
                                     const std::function<ReviewDocument()>& make,
                                     std::optional<std::int64_t> seenRevision) {
    const bool saved = platform::entryExists(path) || !make;
    ReviewDocument document = saved ? ReviewStore::load(path) : make();
    if (!saved && seenRevision && *seenRevision > 0) throw PoseError(PoseErrorCode::moved, ReviewStore::movedMessage);
    if (seenRevision && *seenRevision != document.revision) throw PoseError(PoseErrorCode::conflict, ReviewStore::conflictMessage);
    const std::int64_t loaded = document.revision;
    change(document);
    document.revision = loaded + 1;
    ReviewStore::save(document, path, saved ? std::optional<std::int64_t>(loaded) : std::nullopt);
    return document;
}

}  // namespace torvane
