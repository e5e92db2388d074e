// The nine-topic checklist: display texts, rows, validation against the frames and the
// checklist file loader.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/CoachingChecklist.h"

using namespace torvane;
using namespace torvane::test;

namespace {

const std::string invalid =
    "Coaching checklist needs a matching subject source, current catalog, and one evidenced result for every reviewed "
    "topic.";

CoachingChecklistReview fresh() { return CoachingChecklistReview(document().frames[0]); }

}  // namespace

TEST(CoachingChecklist, RowsAlwaysListNineTopicsInOrder) {
    auto rows = CoachingChecklist::rows(std::nullopt);
    std::vector<std::string> ids;
    for (const auto& row : rows) ids.push_back(row.id());
    EXPECT_EQ(ids, (std::vector<std::string>{"grip", "levers", "insideElbow", "outsideArm", "torso", "hips", "knees",
                                             "footAngle", "pegContact"}));

    // Torso twice and no knees: the first torso shows, knees fall back to the default.
    auto review = fresh();
    review.items[4] = {CoachingTopic::torso, CoachingReviewStatus::focus, "Head drops late."};
    review.items[6] = {CoachingTopic::torso, CoachingReviewStatus::observed, "Second torso."};
    rows = CoachingChecklist::rows(review);
    ASSERT_EQ(rows.size(), 9u);
    EXPECT_EQ(rows[4].observation, "Head drops late.");
    EXPECT_EQ(rows[6], (CoachingChecklistItem{CoachingTopic::knees, CoachingReviewStatus::needsReview, ""}));
    expectError([&] { review.validate(document().frames); }, invalid);
}

TEST(CoachingChecklist, ValidationRefusesEveryMismatchWithOneMessage) {
    const auto frames = document().frames;
    std::vector<std::function<void(CoachingChecklistReview&)>> faults = {
        [](auto& r) { r.frameID = "Z001-subject"; },
        [](auto& r) { r = CoachingChecklistReview(document().frames[1]); },  // reference frame
        [](auto& r) { r.sourceHash = std::string(64, 'x'); },
        [](auto& r) { r.panel.height = 801; },
        [](auto& r) { r.catalogVersion = "track-photo-2"; },
        [](auto& r) { r.provenance = " \n\t"; },
        [](auto& r) { r.items.pop_back(); },
        [](auto& r) { r.items.push_back(r.items[0]); },
        [](auto& r) { r.items[0] = {CoachingTopic::levers, CoachingReviewStatus::needsReview, ""}; },
        [](auto& r) { r.items[2] = {CoachingTopic::insideElbow, CoachingReviewStatus::focus, "  \n"}; },
        [](auto& r) { r.items[3] = {CoachingTopic::outsideArm, CoachingReviewStatus::notApplicable, ""}; },
    };
    for (std::size_t i = 0; i < faults.size(); ++i) {
        auto review = fresh();
        faults[i](review);
        SCOPED_TRACE(i);
        expectError([&] { review.validate(frames); }, invalid);
    }
    // A fresh checklist passes, for a paired or an unpaired subject.
    EXPECT_NO_THROW(fresh().validate(frames));
    EXPECT_NO_THROW(CoachingChecklistReview(frames[2]).validate(frames));
    auto pending = fresh();
    pending.items[2].observation = "  \n";  // still needsReview: any observation
    pending.items[5] = {CoachingTopic::hips, CoachingReviewStatus::unassessable, "Seat hidden by the fairing."};
    pending.cornerDirection = CornerDirection::right;
    EXPECT_NO_THROW(pending.validate(frames));
}

// Loading two checklists keyed by frame is ChecklistStore's test; here what the loader refuses.
TEST(CoachingChecklist, LoaderRefusesDuplicatesAfterCheckingEachReview) {
    TempDir tmp;
    const auto file = tmp / "checklist.json";
    const auto frames = document().frames;
    auto a = fresh();
    a.items[0] = {CoachingTopic::grip, CoachingReviewStatus::focus, "Wrist locked."};
    writeText(file, json::pretty(std::vector<CoachingChecklistReview>{a, fresh()}));
    expectError([&] { CoachingChecklist::load(file, frames); }, "Duplicate coaching checklist subject.");
    // The second review is validated before the duplicate test.
    auto staleDuplicate = fresh();
    staleDuplicate.catalogVersion = "old";
    writeText(file, json::pretty(std::vector<CoachingChecklistReview>{a, staleDuplicate}));
    expectError([&] { CoachingChecklist::load(file, frames); }, invalid);
    writeText(file, json::pretty(fresh()));
    EXPECT_THROW(CoachingChecklist::load(file, frames), DecodingError) << "one review, not a list";
}
