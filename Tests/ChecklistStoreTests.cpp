// Coaching checklists on disk beside the review document: a name no run ever uses, one
// photo replaced at a time under a lock with a version check, refusals that leave the file
// byte for byte as it was, and concurrent savers of whom exactly one wins.
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
    fs::path url = ChecklistStore::url(ReviewStore::documentURL(session.report));

    CoachingChecklistReview reviewed(const std::string& frame, const std::string& observation) {
        CoachingChecklistReview review(*document.frame(frame));
        review.provenance = "Coach K";
        review.items[2] = {CoachingTopic::insideElbow, CoachingReviewStatus::focus, observation};
        return review;
    }
};

}  // namespace

TEST_F(ChecklistStoreTest, LivesBesideTheReviewUnderItsOwnName) {
    const fs::path doc = ReviewStore::documentURL(session.report);
    EXPECT_EQ(url.parent_path(), doc.parent_path());
    EXPECT_EQ(url.filename().string(), "coaching-checklist-" + doc.filename().string().substr(13));
    EXPECT_TRUE(ChecklistStore::load(url, document.frames).empty()) << "no file yet: no checklists";
    EXPECT_FALSE(fs::exists(url));
}

TEST_F(ChecklistStoreTest, SavesOnePhotoAtATimeAndLoadsWithTheLibrary) {
    const auto first = reviewed("p1-subject", "Elbow locked at apex.");
    ChecklistStore::save(url, document.frames, first, "none");
    const auto second = reviewed("p2-subject", "Room to fold.");
    ChecklistStore::save(url, document.frames, second, "none");

    auto loaded = CoachingChecklist::load(url, document.frames);
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded.at("p1-subject"), first);
    EXPECT_EQ(loaded.at("p2-subject"), second);

    auto changed = first;
    changed.items[0] = {CoachingTopic::grip, CoachingReviewStatus::observed, "Relaxed."};
    ChecklistStore::save(url, document.frames, changed, ChecklistStore::version(first));
    EXPECT_EQ(CoachingChecklist::load(url, document.frames).at("p1-subject"), changed);
    EXPECT_EQ(CoachingChecklist::load(url, document.frames).at("p2-subject"), second);
}

TEST_F(ChecklistStoreTest, RefusalsLeaveTheFileAsItWas) {
    const auto saved = reviewed("p1-subject", "Elbow locked at apex.");
    ChecklistStore::save(url, document.frames, saved, "none");
    const std::string before = readText(url);

    auto unevidenced = saved;
    unevidenced.items[3] = {CoachingTopic::outsideArm, CoachingReviewStatus::hypothesis, " \n"};
    auto forReference = reviewed("p1-subject", "x");
    forReference.frameID = "p1-reference";
    const struct {
        const char* name;
        CoachingChecklistReview review;
        std::string expected;
        std::string message;
    } cases[] = {
        {"edited from an older version", reviewed("p1-subject", "Other."), "none", ChecklistStore::conflictMessage},
        {"topic marked without an observation", unevidenced, ChecklistStore::version(saved),
         CoachingChecklistReview::invalidMessage},
        {"reference photo", forReference, "none", CoachingChecklistReview::invalidMessage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(messageOf([&] { ChecklistStore::save(url, document.frames, c.review, c.expected); }), c.message);
        EXPECT_EQ(readText(url), before);
    }
    // A file that no longer loads is never overwritten.
    writeText(url, "[{\"frameID\": 1}]");
    EXPECT_NE(messageOf([&] { ChecklistStore::save(url, document.frames, saved, ChecklistStore::version(saved)); }),
              "no error");
    EXPECT_EQ(readText(url), "[{\"frameID\": 1}]");
}

TEST_F(ChecklistStoreTest, ConcurrentFirstSavesExactlyOneWins) {
    constexpr int processes = 4;
    std::vector<pid_t> children;
    for (int i = 0; i < processes; ++i) {
        pid_t pid = ::fork();
        if (pid == 0) {
            int rc = 4;
            try {
                ChecklistStore::save(url, document.frames, reviewed("p1-subject", "Saver " + std::to_string(i)), "none");
                rc = 0;
            } catch (const PoseError& e) {
                rc = e.message() == ChecklistStore::conflictMessage ? 3 : 4;
            } catch (...) {
            }
            ::_exit(rc);
        }
        children.push_back(pid);
    }
    int winners = 0;
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 0)
            ++winners;
        else
            EXPECT_EQ(WEXITSTATUS(status), 3);
    }
    EXPECT_EQ(winners, 1);
    EXPECT_EQ(CoachingChecklist::load(url, document.frames).size(), 1u);
}
