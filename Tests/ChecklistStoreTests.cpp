// Coaching files on disk beside the review document (checklists, single-photo coaching): a
// name no run ever uses, replaced under a lock with a version check, refusals that leave the
// file byte for byte as it was, and concurrent savers of whom exactly one wins.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/ReviewDecisions.h"

using namespace torvane;
using namespace torvane::test;

namespace {

struct ChecklistStoreTest : ::testing::Test, ReviewOnDisk {
    fs::path checklist = ChecklistStore::path(path);

    CoachingChecklistReview reviewed(const std::string& frame, const std::string& observation) {
        CoachingChecklistReview review(*fresh.frame(frame));
        review.provenance = "Coach K";
        review.items[2] = {CoachingTopic::insideElbow, CoachingReviewStatus::focus, observation};
        return review;
    }
};

}  // namespace

TEST_F(ChecklistStoreTest, LivesBesideTheReviewUnderItsOwnName) {
    EXPECT_EQ(checklist.parent_path(), path.parent_path());
    EXPECT_EQ(checklist.filename().string(), "coaching-checklist-" + path.filename().string().substr(13));
    EXPECT_TRUE(ChecklistStore::load(checklist, fresh.frames).empty()) << "no file yet: no checklists";
    EXPECT_FALSE(fs::exists(checklist));
}

TEST_F(ChecklistStoreTest, SavesOnePhotoAtATimeAndLoadsWithTheLibrary) {
    const auto first = reviewed("p1-subject", "Elbow locked at apex.");
    ChecklistStore::save(checklist, fresh.frames, first, "none");
    const auto second = reviewed("p2-subject", "Room to fold.");
    ChecklistStore::save(checklist, fresh.frames, second, "none");

    auto loaded = CoachingChecklist::load(checklist, fresh.frames);
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded.at("p1-subject"), first);
    EXPECT_EQ(loaded.at("p2-subject"), second);

    auto changed = first;
    changed.items[0] = {CoachingTopic::grip, CoachingReviewStatus::observed, "Relaxed."};
    ChecklistStore::save(checklist, fresh.frames, changed, ChecklistStore::version(first));
    EXPECT_EQ(CoachingChecklist::load(checklist, fresh.frames).at("p1-subject"), changed);
    EXPECT_EQ(CoachingChecklist::load(checklist, fresh.frames).at("p2-subject"), second);
}

// Conflicts and invalid checklists leave the file as it was: DeskPairApi tests.
TEST_F(ChecklistStoreTest, AFileThatNoLongerLoadsIsNeverOverwritten) {
    const auto saved = reviewed("p1-subject", "Elbow locked at apex.");
    writeText(checklist, "[{\"frameID\": 1}]");
    EXPECT_NE(messageOf([&] { ChecklistStore::save(checklist, fresh.frames, saved, ChecklistStore::version(saved)); }),
              "no error");
    EXPECT_EQ(readText(checklist), "[{\"frameID\": 1}]");
}

TEST_F(ChecklistStoreTest, ConcurrentFirstSavesExactlyOneWins) {
    const int winner = raceOfFour([&](int i) -> std::function<void()> {
        const auto mine = reviewed("p1-subject", "Saver " + std::to_string(i));
        return [=, this] { ChecklistStore::save(checklist, fresh.frames, mine, "none"); };
    });
    const auto saved = CoachingChecklist::load(checklist, fresh.frames);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved.at("p1-subject").items[2].observation, "Saver " + std::to_string(winner));
}

namespace {

struct SingleCoachingStoreTest : ChecklistStoreTest {
    fs::path single = SinglePhotoCoachingStore::path(path);
    std::vector<ReviewFrame> frames = withSecondUnpairedPhoto();

    // p3 repeats p2's photo on its own: two unpaired subjects to import for.
    std::vector<ReviewFrame> withSecondUnpairedPhoto() const {
        auto out = fresh.frames;
        ReviewFrame copy = *fresh.frame("p2-subject");
        copy.id = "p3-subject";
        copy.pairID = "p3";
        out.push_back(copy);
        return out;
    }
    std::string record(const std::string& frameID, const std::string& title, const std::string& provenance = "Coach K") const {
        SinglePhotoCoaching r{frameID, fresh.frame("p2-subject")->sourceHash, fresh.frame("p2-subject")->panel,
                              provenance, {{title, "Look further through the turn."}}};
        return json::encode(r).dump();
    }
};

}  // namespace

TEST_F(SingleCoachingStoreTest, ImportsReplaceThePhotosTheyNameAndKeepTheOthers) {
    EXPECT_EQ(SinglePhotoCoachingStore::version(single), "none");
    EXPECT_TRUE(SinglePhotoCoachingStore::load(single, frames).empty());

    SinglePhotoCoachingStore::import(single, frames, "[" + record("p2-subject", "Eyes") + "," + record("p3-subject", "Hips") + "]", "none");
    const std::string first = SinglePhotoCoachingStore::version(single);
    const auto saved = SinglePhotoCoachingStore::import(single, frames, "[" + record("p3-subject", "Knees", " coach ") + "]", first);

    const auto loaded = SinglePhotoCoaching::load(single, frames);
    EXPECT_EQ(loaded, saved);
    EXPECT_EQ(loaded.at("p2-subject").points[0].title, "Eyes") << "a photo the file does not name keeps its coaching";
    EXPECT_EQ(loaded.at("p3-subject").provenance, " coach ") << "kept as written";
}

// Conflicts and invalid imports leave the file as it was: DeskPairApi tests.
TEST_F(SingleCoachingStoreTest, AFileThatNoLongerLoadsIsNeverOverwritten) {
    writeText(single, "[{\"frameID\": 1}]");
    EXPECT_NE(messageOf([&] {
                  SinglePhotoCoachingStore::import(single, frames, "[" + record("p3-subject", "Hips") + "]",
                                                   SinglePhotoCoachingStore::version(single));
              }),
              "no error");
    EXPECT_EQ(readText(single), "[{\"frameID\": 1}]");
}
