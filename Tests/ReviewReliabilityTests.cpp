// Saving under real contention and real crashes: forked processes that save the same
// document at once, and savers killed with SIGKILL at random moments.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <set>

#include "TestSupport.h"

using namespace torvane;
using namespace torvane::test;

namespace {

constexpr int won = 0, conflicted = 3, otherFailure = 4;

// Runs `body` in a child process whose exit code is body's result; never returns in the child.
pid_t spawn(const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int rc = otherFailure;
        try {
            rc = body();
        } catch (...) {
        }
        ::_exit(rc);
    }
    return pid;
}

int exitCode(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// Children report when they are ready and wait until the parent lets them all go at once.
struct StartLine {
    int ready[2], go[2];
    StartLine() {
        if (::pipe(ready) != 0 || ::pipe(go) != 0) throw std::runtime_error("pipe");
    }
    ~StartLine() {
        for (int fd : {ready[0], ready[1], go[0], go[1]})
            if (fd >= 0) ::close(fd);
    }
    // In the child.
    void arriveAndWait() {
        ::close(go[1]);
        char c = 'r';
        if (::write(ready[1], &c, 1) != 1) ::_exit(otherFailure);
        while (::read(go[0], &c, 1) < 0 && errno == EINTR) {}  // EOF: everyone may go
    }
    // In the parent.
    void release(int children) {
        char c;
        for (int i = 0; i < children; ++i)
            if (::read(ready[0], &c, 1) != 1) throw std::runtime_error("child lost");
        ::close(go[1]);
        go[1] = -1;
    }
};

int saveOutcome(const std::function<void()>& save) {
    try {
        save();
        return won;
    } catch (const PoseError& e) {
        return e.code() == PoseErrorCode::conflict ? conflicted : otherFailure;
    }
}

struct ReliabilityTest : ::testing::Test {
    TempDir temp;
    SessionFiles session = writeSession(temp.path() / "session");
    ReviewDocument fresh = ReviewStore::make(session.manifest, session.report);
    fs::path url = ReviewStore::documentURL(session.report);

    std::set<std::string> folderEntries() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(url.parent_path())) names.insert(entry.path().filename().string());
        return names;
    }
};

JointEdit marker(double x, double y) { return {Point2{x, y}, JointReviewState::confirmed}; }

}  // namespace

// Every round, several processes load the same revision and save the next one: exactly one
// wins, the others are told that a newer review is saved, and a concurrent reader always
// finds a whole document.
TEST_F(ReliabilityTest, ConcurrentSaversExactlyOneWinsEachRound) {
    constexpr int processes = 4, rounds = 15;
    ReviewStore::save(fresh, url, std::nullopt);

    const fs::path stop = temp.path() / "stop";
    pid_t reader = spawn([&] {
        int loads = 0;
        while (!fs::exists(stop) || loads == 0) {
            ReviewStore::load(url);  // throws, and so fails the child, on any torn read
            ++loads;
        }
        return loads > 0 ? 0 : 1;
    });

    for (int round = 0; round < rounds; ++round) {
        StartLine line;
        std::vector<pid_t> children;
        for (int i = 0; i < processes; ++i)
            children.push_back(spawn([&, i] {
                ReviewDocument mine = ReviewStore::load(url);
                const std::int64_t loaded = mine.revision;
                mine.revision = loaded + 1;
                mine.frames[0].edits["left_knee"] = marker(i + 1, round + 1);
                line.arriveAndWait();
                return saveOutcome([&] { ReviewStore::save(mine, url, loaded); });
            }));
        line.release(processes);
        std::vector<int> winners;
        for (int i = 0; i < processes; ++i) {
            int code = exitCode(children[i]);
            if (code == won) {
                winners.push_back(i);
            } else {
                EXPECT_EQ(code, conflicted) << "round " << round << " process " << i;
            }
        }
        ASSERT_EQ(winners.size(), 1u) << "round " << round;
        ReviewDocument now = ReviewStore::load(url);
        EXPECT_EQ(now.revision, round + 1);
        EXPECT_EQ(now.frames[0].edits.at("left_knee"), marker(winners[0] + 1, round + 1));
    }
    writeText(stop, "");
    EXPECT_EQ(exitCode(reader), 0) << "a reader saw a partial or invalid document";
    EXPECT_EQ(folderEntries(), (std::set<std::string>{"results.json", url.filename().string(),
                                                       ReviewStore::lockURL(url).filename().string()}));
}

TEST_F(ReliabilityTest, ConcurrentFirstSavesOfAMissingDocumentExactlyOneWins) {
    constexpr int processes = 4, rounds = 8;
    for (int round = 0; round < rounds; ++round) {
        const fs::path target = url.parent_path() / ("new-" + std::to_string(round) + ".json");
        StartLine line;
        std::vector<pid_t> children;
        for (int i = 0; i < processes; ++i)
            children.push_back(spawn([&, i] {
                ReviewDocument mine = fresh;
                mine.frames[0].edits["left_knee"] = marker(i + 1, 1);
                line.arriveAndWait();
                return saveOutcome([&] { ReviewStore::save(mine, target, std::nullopt); });
            }));
        line.release(processes);
        int winner = -1, wins = 0;
        for (int i = 0; i < processes; ++i) {
            int code = exitCode(children[i]);
            if (code == won) {
                winner = i;
                ++wins;
            } else {
                EXPECT_EQ(code, conflicted);
            }
        }
        ASSERT_EQ(wins, 1) << "round " << round;
        EXPECT_EQ(ReviewStore::load(target).frames[0].edits.at("left_knee"), marker(winner + 1, 1));
    }
}

// A saver killed at any moment leaves the old or the new document, never a broken one. A
// kill between writing and renaming can leave the hidden temporary file
// ".<document>.saving"; the next save, holding the lock, replaces it.
TEST_F(ReliabilityTest, SaversKilledAtRandomMomentsNeverBreakTheDocument) {
    constexpr int kills = 50;
    const fs::path temporary = platform::hiddenSibling(url, ".saving");
    auto nextRevision = [&](ReviewDocument d) {
        d.revision += 1;
        // The content tells which revision wrote it.
        d.frames[0].edits["left_knee"] = marker(static_cast<double>(d.revision % 59) + 0.5, 1);
        return d;
    };

    // Kill moments are spread over about one and a half saves, however slow this machine
    // (or sanitizer) makes a save.
    ReviewStore::save(fresh, url, std::nullopt);
    std::chrono::steady_clock::duration slowest{};
    for (int i = 0; i < 3; ++i) {
        ReviewDocument d = ReviewStore::load(url);
        auto begin = std::chrono::steady_clock::now();
        ReviewStore::save(nextRevision(d), url, d.revision);
        slowest = std::max(slowest, std::chrono::steady_clock::now() - begin);
    }
    const int window = static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(slowest).count() * 3 / 2) + 1;

    std::mt19937 random(20261206);
    std::int64_t lastRevision = ReviewStore::load(url).revision, firstRevision = lastRevision;
    int leftovers = 0;
    for (int k = 0; k < kills; ++k) {
        int started[2];
        ASSERT_EQ(::pipe(started), 0);
        pid_t saver = spawn([&] {
            ::close(started[0]);
            for (;;) {
                ReviewDocument d = ReviewStore::load(url);
                char c = 's';
                if (::write(started[1], &c, 1) != 1) return otherFailure;
                ReviewStore::save(nextRevision(d), url, d.revision);
            }
        });
        ::close(started[1]);
        char c;
        ASSERT_EQ(::read(started[0], &c, 1), 1) << "the saver failed before saving";
        ::usleep(static_cast<useconds_t>(std::uniform_int_distribution<int>(0, window)(random)));
        ::kill(saver, SIGKILL);
        ASSERT_EQ(exitCode(saver), -SIGKILL);
        ::close(started[0]);  // only now: the saver must never die of a closed pipe

        ReviewDocument now = ReviewStore::load(url);
        EXPECT_GE(now.revision, lastRevision);
        EXPECT_EQ(now.frames[0].edits.at("left_knee"), marker(static_cast<double>(now.revision % 59) + 0.5, 1));
        lastRevision = now.revision;
        if (fs::exists(temporary)) ++leftovers;
        auto entries = folderEntries();
        entries.erase(temporary.filename().string());
        EXPECT_EQ(entries.size(), 3u) << "only the document, its lock and the results file";
    }
    const std::int64_t completed = lastRevision - firstRevision;
    std::printf("[ crash    ] %d kills within %d us of a save starting, %lld saves completed, %d kills left the "
                "temporary file\n", kills, window, static_cast<long long>(completed), leftovers);
    EXPECT_GT(completed, 0) << "no kill came after a finished save";

    // The next save cleans up, and the lock is free (the kernel dropped each dead saver's lock).
    ReviewDocument last = ReviewStore::load(url);
    last.revision += 1;
    ReviewStore::save(last, url, last.revision - 1);
    EXPECT_FALSE(fs::exists(temporary));
    int fd = ::open(ReviewStore::lockURL(url).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
}

// Converting an older-schema file can be killed at any moment too: the backup is then
// absent or whole, never partial, so the next save still goes through.
TEST_F(ReliabilityTest, ConversionsKilledAtRandomMomentsLeaveNoPartialBackup) {
    constexpr int kills = 20;
    ReviewDocument two = fresh;
    two.schemaVersion = 2;
    const std::string oldBytes = json::pretty(two);
    const fs::path backup = ReviewStore::legacyBackupURL(url, 2);
    ReviewDocument next = two;  // a save raises the revision
    next.revision = 1;
    auto reset = [&] {
        writeText(url, oldBytes);
        fs::remove(backup);
    };

    reset();
    auto begin = std::chrono::steady_clock::now();
    ReviewStore::save(next, url, 0);
    const int window =
        static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begin).count() * 3 / 2) + 1;

    std::mt19937 random(4242);
    int converted = 0;
    for (int k = 0; k < kills; ++k) {
        reset();
        int started[2];
        ASSERT_EQ(::pipe(started), 0);
        pid_t saver = spawn([&] {
            ::close(started[0]);
            char c = 's';
            if (::write(started[1], &c, 1) != 1) return otherFailure;
            ReviewStore::save(next, url, 0);
            ::pause();  // wait for the kill
            return 0;
        });
        ::close(started[1]);
        char c;
        ASSERT_EQ(::read(started[0], &c, 1), 1);
        ::usleep(static_cast<useconds_t>(std::uniform_int_distribution<int>(0, window)(random)));
        ::kill(saver, SIGKILL);
        ASSERT_EQ(exitCode(saver), -SIGKILL);
        ::close(started[0]);

        const std::string now = readText(url);
        if (now != oldBytes) {
            EXPECT_EQ(ReviewStore::load(url).schemaVersion, 3);
            ++converted;
        }
        if (fs::exists(backup)) {
            EXPECT_EQ(readText(backup), oldBytes) << "kill " << k;
        }
        // The next save goes on from whichever revision the kill left.
        ReviewDocument after = next;
        const std::int64_t current = ReviewStore::load(url).revision;
        after.revision = current + 1;
        EXPECT_NO_THROW(ReviewStore::save(after, url, current)) << "kill " << k;
        EXPECT_EQ(readText(backup), oldBytes);
    }
    std::printf("[ crash    ] %d conversions killed within %d us, %d had finished\n", kills, window, converted);
}
