#include "Torvane/CoachingChecklist.h"

#include <algorithm>
#include <set>

#include "Torvane/Text.h"
#include "Torvane/platform/FileSystem.h"

namespace torvane {

CoachingChecklistReview::CoachingChecklistReview(const ReviewFrame& frame)
    : frameID(frame.id),
      sourceHash(frame.sourceHash),
      panel(frame.panel),
      catalogVersion(CoachingChecklist::version),
      cornerDirection(CornerDirection::unknown),
      provenance(pendingProvenance),
      items(CoachingChecklist::rows(std::nullopt)) {}

void CoachingChecklistReview::validate(const std::vector<ReviewFrame>& frames) const {
    auto fail = [] { throw PoseError::invalidInput(invalidMessage); };
    auto frame = std::find_if(frames.begin(), frames.end(), [&](const ReviewFrame& f) { return f.id == frameID; });
    if (frame == frames.end() || frame->role != "subject") fail();
    if (sourceHash != frame->sourceHash || !(panel == frame->panel)) fail();
    if (catalogVersion != CoachingChecklist::version || isBlank(provenance)) fail();
    const auto topics = allCases<CoachingTopic>();
    if (items.size() != topics.size()) fail();
    std::set<CoachingTopic> seen;
    for (const auto& item : items) seen.insert(item.topic);
    if (seen != std::set<CoachingTopic>(topics.begin(), topics.end())) fail();
    for (const auto& item : items)
        if (item.status != CoachingReviewStatus::needsReview && isBlank(item.observation)) fail();
}

std::vector<CoachingChecklistItem> CoachingChecklist::rows(const std::optional<CoachingChecklistReview>& review) {
    std::vector<CoachingChecklistItem> out;
    for (CoachingTopic topic : allCases<CoachingTopic>()) {
        const CoachingChecklistItem* found = nullptr;
        if (review)
            for (const auto& item : review->items)
                if (item.topic == topic) {
                    found = &item;
                    break;
                }
        out.push_back(found ? *found : CoachingChecklistItem(topic));
    }
    return out;
}

std::map<std::string, CoachingChecklistReview> CoachingChecklist::load(const std::filesystem::path& path,
                                                                       const std::vector<ReviewFrame>& frames) {
    auto reviews = json::decodeFile<std::vector<CoachingChecklistReview>>(path, platform::recordFileLimit);
    std::map<std::string, CoachingChecklistReview> out;
    for (auto& review : reviews) {
        review.validate(frames);
        if (out.count(review.frameID)) throw PoseError::invalidInput(duplicateMessage);
        out.emplace(review.frameID, std::move(review));
    }
    return out;
}

}  // namespace torvane
