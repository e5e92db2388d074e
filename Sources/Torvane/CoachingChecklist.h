// The per-photo coaching checklist: nine body-position topics, each with a cautious cue,
// a review status and the coach's observation.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Torvane/Geometry.h"
#include "Torvane/Json.h"
#include "Torvane/PairReview.h"

namespace torvane {

enum class CoachingTopic { grip, levers, insideElbow, outsideArm, torso, hips, knees, footAngle, pegContact };
struct CoachingTopicCase {
    CoachingTopic value;
    std::string_view name;
    std::string_view title;
    std::string_view cue;  // what to look at, and what a single still photo cannot show
};
template <>
struct EnumTable<CoachingTopic> {
    static constexpr CoachingTopicCase cases[] = {
        {CoachingTopic::grip, "grip", "Wrist and grip freedom",
             "Check whether a comfortable diagonal screwdriver grip lets the inside arm and torso move together. "
             "A straight wrist is not a fault; do not force extra bend. A still photo cannot prove grip tension."},
        {CoachingTopic::levers, "levers", "Fingers and control access",
             "Check brake access and smooth throttle closure in both turn directions. Index/middle fingers may "
             "cover the brake while the others retain light contact, if reach, force and full lever travel "
             "permit. Covering is not squeezing. Clutch coverage depends on the task; remaining fingers must not "
             "obstruct disengagement."},
        {CoachingTopic::insideElbow, "insideElbow", "Inside elbow",
             "Look for room for the inside elbow to fold and move down/out with the torso. Assess the whole arm "
             "and control access, without copying an exact angle or inferring bar load."},
        {CoachingTopic::outsideArm, "outsideArm", "Outside arm",
             "Look for a comfortable longer reach across the tank that accommodates inward torso movement. More "
             "extended does not mean locked; pressure and tension are not visible."},
        {CoachingTopic::torso, "torso", "Head, shoulders and torso",
             "Assess head and inside shoulder displacement with the chest and hip hinge. Consider the cornering "
             "moment and camera view; do not prescribe maximum head drop or infer gaze through an opaque visor."},
        {CoachingTopic::hips, "hips", "Hip position and room to move",
             "Inspect visible pelvis/seat relationship and space for the chest to move inward. Do not infer "
             "hidden hip rotation, seat contact or a universal amount of hang-off."},
        {CoachingTopic::knees, "knees", "Inside and outside knees",
             "Assess inside thigh opening and outside knee proximity to the tank together with hips and feet. "
             "Knee bend alone does not measure thigh rotation, contact or support."},
        {CoachingTopic::footAngle, "footAngle", "Foot angle and toe clearance",
             "Look for a downward or outward toe and apparent ground clearance. Check a more tucked toe while "
             "retaining control access if relevant; perspective alone cannot prove pavement contact."},
        {CoachingTopic::pegContact, "pegContact", "Ball of foot and peg placement",
             "Inspect the boot sole and peg when visible. Consider ball-of-foot support during settled cornering "
             "while retaining access to shifting/braking as needed. If the contact area is hidden, record it as "
             "unassessable; do not infer pressure or demand constant placement."}};
};
constexpr std::string_view title(CoachingTopic topic) { return enumCase(topic).title; }
constexpr std::string_view cue(CoachingTopic topic) { return enumCase(topic).cue; }

enum class CoachingReviewStatus { needsReview, focus, observed, hypothesis, unassessable, notApplicable };
template <>
struct EnumTable<CoachingReviewStatus> {
    static constexpr LabelledCase<CoachingReviewStatus> cases[] = {
        {CoachingReviewStatus::needsReview, "needsReview", "Needs photo review"},
        {CoachingReviewStatus::focus, "focus", "Focus"},
        {CoachingReviewStatus::observed, "observed", "Observed \u00B7 no change suggested"},
        {CoachingReviewStatus::hypothesis, "hypothesis", "Check with rider / coach"},
        {CoachingReviewStatus::unassessable, "unassessable", "Not assessable in this view"},
        {CoachingReviewStatus::notApplicable, "notApplicable", "Not applicable"}};
};

struct CoachingChecklistItem {
    CoachingTopic topic = CoachingTopic::grip;
    CoachingReviewStatus status = CoachingReviewStatus::needsReview;
    std::string observation;

    CoachingChecklistItem() = default;
    CoachingChecklistItem(CoachingTopic topic, CoachingReviewStatus status = CoachingReviewStatus::needsReview,
                          std::string observation = "")
        : topic(topic), status(status), observation(std::move(observation)) {}

    std::string id() const { return std::string(enumName(topic)); }

    bool operator==(const CoachingChecklistItem&) const = default;
    template <class V> void fields(V& v) { v("observation", observation); v("status", status); v("topic", topic); }
};

// The checklist of one subject frame.
struct CoachingChecklistReview {
    std::string frameID;
    std::string sourceHash;
    PixelRect panel;
    std::string catalogVersion;
    CornerDirection cornerDirection = CornerDirection::unknown;
    std::string provenance;
    std::vector<CoachingChecklistItem> items;

    static constexpr const char* invalidMessage =
        "Coaching checklist needs a matching subject source, current catalog, and one evidenced result for every "
        "reviewed topic.";
    static constexpr const char* pendingProvenance = "Pending photo review";

    CoachingChecklistReview() = default;
    // A fresh checklist for the frame: every topic still needs review.
    explicit CoachingChecklistReview(const ReviewFrame& frame);

    // Refuses a checklist that does not match a subject frame's photo and panel, uses
    // another catalogue, has blank provenance, does not list every topic exactly once, or
    // has a reviewed topic without an observation.
    void validate(const std::vector<ReviewFrame>& frames) const;

    bool operator==(const CoachingChecklistReview&) const = default;
    template <class V> void fields(V& v) {
        v("catalogVersion", catalogVersion); v("cornerDirection", cornerDirection); v("frameID", frameID);
        v("items", items); v("panel", panel); v("provenance", provenance); v("sourceHash", sourceHash);
    }
};

struct CoachingChecklist {
    static constexpr const char* version = "track-photo-1";
    static constexpr const char* duplicateMessage = "Duplicate coaching checklist subject.";

    // Nine items in topic order: the review's first item for each topic, else a default.
    static std::vector<CoachingChecklistItem> rows(const std::optional<CoachingChecklistReview>& review);

    // Reads a JSON array of checklists, validates each and keys them by frame id.
    static std::map<std::string, CoachingChecklistReview> load(const std::filesystem::path& path,
                                                               const std::vector<ReviewFrame>& frames);
};

}  // namespace torvane
