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

TEST(CoachingChecklist, TopicsAndStatusesCarryTheirTexts) {
    auto topics = allCases<CoachingTopic>();
    ASSERT_EQ(topics.size(), 9u);
    EXPECT_EQ(title(CoachingTopic::grip), "Wrist and grip freedom");
    EXPECT_EQ(title(CoachingTopic::pegContact), "Ball of foot and peg placement");
    EXPECT_EQ(cue(CoachingTopic::knees),
              "Assess inside thigh opening and outside knee proximity to the tank together with hips and feet. Knee "
              "bend alone does not measure thigh rotation, contact or support.");
    for (auto topic : topics) EXPECT_FALSE(cue(topic).empty());
    EXPECT_EQ(label(CoachingReviewStatus::observed), "Observed \u00B7 no change suggested");
    EXPECT_EQ(label(CoachingReviewStatus::hypothesis), "Check with rider / coach");
    EXPECT_EQ(enumValue<CoachingReviewStatus>("Focus"), std::nullopt);
    EXPECT_EQ(enumValue<CoachingTopic>("footAngle"), CoachingTopic::footAngle);
}

TEST(CoachingChecklist, RowsAlwaysListNineTopicsInOrder) {
    auto rows = CoachingChecklist::rows(std::nullopt);
    std::vector<std::string> ids;
    for (const auto& row : rows) {
        ids.push_back(row.id());
        EXPECT_EQ(row.status, CoachingReviewStatus::needsReview);
        EXPECT_EQ(row.observation, "");
    }
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

TEST(CoachingChecklist, FreshChecklistOfASubjectFramePasses) {
    auto review = fresh();
    EXPECT_EQ(review.frameID, "A001-subject");
    EXPECT_EQ(review.catalogVersion, "track-photo-1");
    EXPECT_EQ(review.provenance, "Pending photo review");
    EXPECT_EQ(review.cornerDirection, CornerDirection::unknown);
    EXPECT_EQ(review.items, CoachingChecklist::rows(std::nullopt));
    EXPECT_NO_THROW(review.validate(document().frames));
    EXPECT_NO_THROW(CoachingChecklistReview(document().frames[2]).validate(document().frames));  // unpaired subject
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
    auto pending = fresh();
    pending.items[2].observation = "  \n";  // still needsReview: any observation
    pending.items[5] = {CoachingTopic::hips, CoachingReviewStatus::unassessable, "Seat hidden by the fairing."};
    pending.cornerDirection = CornerDirection::right;
    EXPECT_NO_THROW(pending.validate(frames));
}

TEST(CoachingChecklist, LoadsAFileOfChecklistsKeyedByFrame) {
    TempDir tmp;
    const auto file = tmp / "checklist.json";
    const auto frames = document().frames;
    auto a = fresh();
    a.items[0] = {CoachingTopic::grip, CoachingReviewStatus::focus, "Wrist locked."};
    auto b = CoachingChecklistReview(frames[2]);
    writeText(file, json::pretty(std::vector<CoachingChecklistReview>{a, b}));
    auto loaded = CoachingChecklist::load(file, frames);
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded.at("A001-subject"), a);
    EXPECT_EQ(loaded.at("B001-subject"), b);

    writeText(file, "[]");
    EXPECT_TRUE(CoachingChecklist::load(file, frames).empty());

    writeText(file, json::pretty(std::vector<CoachingChecklistReview>{a, fresh()}));
    expectError([&] { CoachingChecklist::load(file, frames); }, "Duplicate coaching checklist subject.");
    // The second review is validated before the duplicate test.
    auto staleDuplicate = fresh();
    staleDuplicate.catalogVersion = "old";
    writeText(file, json::pretty(std::vector<CoachingChecklistReview>{a, staleDuplicate}));
    expectError([&] { CoachingChecklist::load(file, frames); }, invalid);
}

TEST(CoachingChecklist, LoaderPassesDecodingAndFileErrorsThrough) {
    TempDir tmp;
    const auto file = tmp / "checklist.json";
    const auto frames = document().frames;
    EXPECT_THROW(CoachingChecklist::load(file, frames), std::filesystem::filesystem_error);
    auto value = json::encode(std::vector<CoachingChecklistReview>{fresh()});
    value[0]["items"][0].erase("observation");
    writeText(file, value.dump());
    EXPECT_THROW(CoachingChecklist::load(file, frames), DecodingError);
    value = json::encode(std::vector<CoachingChecklistReview>{fresh()});
    value[0]["items"][0]["status"] = "Focus";
    writeText(file, value.dump());
    EXPECT_THROW(CoachingChecklist::load(file, frames), DecodingError);
    writeText(file, json::pretty(fresh()));
    EXPECT_THROW(CoachingChecklist::load(file, frames), DecodingError);
}
