// Coaching files on disk beside the review document (checklists, single-photo coaching): a
// name no run ever uses, replaced under a lock with a version check, refusals that leave the
// file byte for byte as it was, and concurrent savers of whom exactly one wins.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/ReviewDecisions.h"

using namespace torvane;
using namespace torvane::test;

namespace {

struct ChecklistStoreTest : ::testing::Test {
    TempDir temp;
    SessionFiles session = writeSession(temp.path() / "session");
    ReviewDocument document = ReviewStore::make(session.manifest, session.report);
    fs::path path = ChecklistStore::path(ReviewStore::documentPath(session.report));

    CoachingChecklistReview reviewed(const std::string& frame, const std::string& observation) {
        CoachingChecklistReview review(*document.frame(frame));
        review.provenance = "Coach K";
        review.items[2] = {CoachingTopic::insideElbow, CoachingReviewStatus::focus, observation};
        return review;
    }
};

}  // namespace

TEST_F(ChecklistStoreTest, LivesBesideTheReviewUnderItsOwnName) {
    const fs::path doc = ReviewStore::documentPath(session.report);
    EXPECT_EQ(path.parent_path(), doc.parent_path());
    EXPECT_EQ(path.filename().string(), "coaching-checklist-" + doc.filename().string().substr(13));
    EXPECT_TRUE(ChecklistStore::load(path, document.frames).empty()) << "no file yet: no checklists";
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(ChecklistStoreTest, SavesOnePhotoAtATimeAndLoadsWithTheLibrary) {
    const auto first = reviewed("p1-subject", "Elbow locked at apex.");
    ChecklistStore::save(path, document.frames, first, "none");
    const auto second = reviewed("p2-subject", "Room to fold.");
    ChecklistStore::save(path, document.frames, second, "none");

    auto loaded = CoachingChecklist::load(path, document.frames);
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded.at("p1-subject"), first);
    EXPECT_EQ(loaded.at("p2-subject"), second);

    auto changed = first;
    changed.items[0] = {CoachingTopic::grip, CoachingReviewStatus::observed, "Relaxed."};
    ChecklistStore::save(path, document.frames, changed, ChecklistStore::version(first));
    EXPECT_EQ(CoachingChecklist::load(path, document.frames).at("p1-subject"), changed);
    EXPECT_EQ(CoachingChecklist::load(path, document.frames).at("p2-subject"), second);
}

// Conflicts and invalid checklists leave the file as it was: DeskPairApi tests.
TEST_F(ChecklistStoreTest, AFileThatNoLongerLoadsIsNeverOverwritten) {
    const auto saved = reviewed("p1-subject", "Elbow locked at apex.");
    writeText(path, "[{\"frameID\": 1}]");
    EXPECT_NE(messageOf([&] { ChecklistStore::save(path, document.frames, saved, ChecklistStore::version(saved)); }),
              "no error");
    EXPECT_EQ(readText(path), "[{\"frameID\": 1}]");
}

TEST_F(ChecklistStoreTest, ConcurrentFirstSavesExactlyOneWins) {
    std::vector<pid_t> children;
    for (int i = 0; i < 4; ++i)
        children.push_back(spawn([&, i] {
            try {
                ChecklistStore::save(path, document.frames, reviewed("p1-subject", "Saver " + std::to_string(i)), "none");
                return 0;
            } catch (const PoseError& e) {
                return e.message() == ChecklistStore::conflictMessage ? 3 : 4;
            }
        }));
    int winners = 0;
    for (pid_t pid : children) {
        const int code = exitCode(pid);
        winners += code == 0;
        EXPECT_TRUE(code == 0 || code == 3) << code;
    }
    EXPECT_EQ(winners, 1);
    EXPECT_EQ(CoachingChecklist::load(path, document.frames).size(), 1u);
}

namespace {

struct SingleCoachingStoreTest : ChecklistStoreTest {
    fs::path single = SinglePhotoCoachingStore::path(ReviewStore::documentPath(session.report));
    std::vector<ReviewFrame> frames = withSecondUnpairedPhoto();

    // p3 repeats p2's photo on its own: two unpaired subjects to import for.
    std::vector<ReviewFrame> withSecondUnpairedPhoto() const {
        auto out = document.frames;
        ReviewFrame copy = *document.frame("p2-subject");
        copy.id = "p3-subject";
        copy.pairID = "p3";
        out.push_back(copy);
        return out;
    }
    std::string record(const std::string& frameID, const std::string& title, const std::string& provenance = "Coach K") const {
        SinglePhotoCoaching r{frameID, document.frame("p2-subject")->sourceHash, document.frame("p2-subject")->panel,
                              provenance, {{title, "Look further through the turn."}}};
        return json::encode(r).dump();
    }
};

}  // namespace

TEST_F(SingleCoachingStoreTest, ImportsReplaceThePhotosTheyNameAndKeepTheOthers) {
    EXPECT_EQ(single.filename().string(), "single-photo-coaching-" + ReviewStore::documentPath(session.report).filename().string().substr(13));
    EXPECT_EQ(SinglePhotoCoachingStore::version(single), "none");
    EXPECT_TRUE(SinglePhotoCoachingStore::load(single, frames).empty());

    SinglePhotoCoachingStore::import(single, frames, "[" + record("p2-subject", "Eyes") + "," + record("p3-subject", "Hips") + "]", "none");
    const std::string first = SinglePhotoCoachingStore::version(single);
    const auto saved = SinglePhotoCoachingStore::import(single, frames, "[" + record("p3-subject", "Knees", " coach ") + "]", first);

    const auto loaded = SinglePhotoCoaching::load(single, frames);
    EXPECT_EQ(loaded, saved);
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded.at("p2-subject").points[0].title, "Eyes") << "a photo the file does not name keeps its coaching";
    EXPECT_EQ(loaded.at("p3-subject").points[0].title, "Knees");
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
