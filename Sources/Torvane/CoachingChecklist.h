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
template <>
struct EnumNames<CoachingTopic> {
    static constexpr std::pair<CoachingTopic, std::string_view> names[] = {
        {CoachingTopic::grip, "grip"},           {CoachingTopic::levers, "levers"},
        {CoachingTopic::insideElbow, "insideElbow"}, {CoachingTopic::outsideArm, "outsideArm"},
        {CoachingTopic::torso, "torso"},         {CoachingTopic::hips, "hips"},
        {CoachingTopic::knees, "knees"},         {CoachingTopic::footAngle, "footAngle"},
        {CoachingTopic::pegContact, "pegContact"}};
};
std::string_view title(CoachingTopic topic);
// What to look at, and what a single still photo cannot show.
std::string_view cue(CoachingTopic topic);

enum class CoachingReviewStatus { needsReview, focus, observed, hypothesis, unassessable, notApplicable };
template <>
struct EnumNames<CoachingReviewStatus> {
    static constexpr std::pair<CoachingReviewStatus, std::string_view> names[] = {
        {CoachingReviewStatus::needsReview, "needsReview"},
        {CoachingReviewStatus::focus, "focus"},
        {CoachingReviewStatus::observed, "observed"},
        {CoachingReviewStatus::hypothesis, "hypothesis"},
        {CoachingReviewStatus::unassessable, "unassessable"},
        {CoachingReviewStatus::notApplicable, "notApplicable"}};
};
std::string_view label(CoachingReviewStatus status);

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
    static std::map<std::string, CoachingChecklistReview> load(const std::filesystem::path& url,
                                                               const std::vector<ReviewFrame>& frames);
};

}  // namespace torvane
