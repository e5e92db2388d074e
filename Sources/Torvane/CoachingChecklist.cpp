#include "Torvane/CoachingChecklist.h"

#include <algorithm>
#include <set>

#include "Torvane/Text.h"
#include "Torvane/platform/FileSystem.h"

namespace torvane {

std::string_view title(CoachingTopic topic) {
    switch (topic) {
        case CoachingTopic::grip: return "Wrist and grip freedom";
        case CoachingTopic::levers: return "Fingers and control access";
        case CoachingTopic::insideElbow: return "Inside elbow";
        case CoachingTopic::outsideArm: return "Outside arm";
        case CoachingTopic::torso: return "Head, shoulders and torso";
        case CoachingTopic::hips: return "Hip position and room to move";
        case CoachingTopic::knees: return "Inside and outside knees";
        case CoachingTopic::footAngle: return "Foot angle and toe clearance";
        case CoachingTopic::pegContact: return "Ball of foot and peg placement";
    }
    return {};
}

std::string_view cue(CoachingTopic topic) {
    switch (topic) {
        case CoachingTopic::grip:
            return "Check whether a comfortable diagonal screwdriver grip lets the inside arm and torso move together. "
                   "A straight wrist is not a fault; do not force extra bend. A still photo cannot prove grip tension.";
        case CoachingTopic::levers:
            return "Check brake access and smooth throttle closure in both turn directions. Index/middle fingers may "
                   "cover the brake while the others retain light contact, if reach, force and full lever travel "
                   "permit. Covering is not squeezing. Clutch coverage depends on the task; remaining fingers must not "
                   "obstruct disengagement.";
        case CoachingTopic::insideElbow:
            return "Look for room for the inside elbow to fold and move down/out with the torso. Assess the whole arm "
                   "and control access, without copying an exact angle or inferring bar load.";
        case CoachingTopic::outsideArm:
            return "Look for a comfortable longer reach across the tank that accommodates inward torso movement. More "
                   "extended does not mean locked; pressure and tension are not visible.";
        case CoachingTopic::torso:
            return "Assess head and inside shoulder displacement with the chest and hip hinge. Consider the cornering "
                   "moment and camera view; do not prescribe maximum head drop or infer gaze through an opaque visor.";
        case CoachingTopic::hips:
            return "Inspect visible pelvis/seat relationship and space for the chest to move inward. Do not infer "
                   "hidden hip rotation, seat contact or a universal amount of hang-off.";
        case CoachingTopic::knees:
            return "Assess inside thigh opening and outside knee proximity to the tank together with hips and feet. "
                   "Knee bend alone does not measure thigh rotation, contact or support.";
        case CoachingTopic::footAngle:
            return "Look for a downward or outward toe and apparent ground clearance. Check a more tucked toe while "
                   "retaining control access if relevant; perspective alone cannot prove pavement contact.";
        case CoachingTopic::pegContact:
            return "Inspect the boot sole and peg when visible. Consider ball-of-foot support during settled cornering "
                   "while retaining access to shifting/braking as needed. If the contact area is hidden, record it as "
                   "unassessable; do not infer pressure or demand constant placement.";
    }
    return {};
}

std::string_view label(CoachingReviewStatus status) {
    switch (status) {
        case CoachingReviewStatus::needsReview: return "Needs photo review";
        case CoachingReviewStatus::focus: return "Focus";
        case CoachingReviewStatus::observed: return "Observed \u00B7 no change suggested";
        case CoachingReviewStatus::hypothesis: return "Check with rider / coach";
        case CoachingReviewStatus::unassessable: return "Not assessable in this view";
        case CoachingReviewStatus::notApplicable: return "Not applicable";
    }
    return {};
}

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

std::map<std::string, CoachingChecklistReview> CoachingChecklist::load(const std::filesystem::path& url,
                                                                       const std::vector<ReviewFrame>& frames) {
    auto reviews = json::decodeFile<std::vector<CoachingChecklistReview>>(url, platform::recordFileLimit);
    std::map<std::string, CoachingChecklistReview> out;
    for (auto& review : reviews) {
        review.validate(frames);
        if (out.count(review.frameID)) throw PoseError::invalidInput(duplicateMessage);
        out.emplace(review.frameID, std::move(review));
    }
    return out;
}

}  // namespace torvane
