// Saving under real contention and real crashes: forked processes that save the same
// document at once, and savers killed with SIGKILL at random moments.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "TestSupport.h"
#include "Torvane/platform/Env.h"

using namespace torvane;
using namespace torvane::test;

namespace {

constexpr int won = 0, conflicted = 3, otherFailure = 4;

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
    fs::path path = ReviewStore::documentPath(session.report);

    // Four children each prepare a save, then all start it at once: exactly one wins, the
    // others meet a conflict. Returns the winner.
    int race(const std::function<std::function<void()>(int)>& prepare, int round) {
        StartLine line;
        std::vector<pid_t> children;
        for (int i = 0; i < 4; ++i)
            children.push_back(spawn([&, i] {
                const auto save = prepare(i);
                line.arriveAndWait();
                return saveOutcome(save);
            }));
        line.release(4);
        std::vector<int> winners;
        for (int i = 0; i < 4; ++i) {
            const int code = exitCode(children[i]);
            if (code == won) {
                winners.push_back(i);
            } else {
                EXPECT_EQ(code, conflicted) << "round " << round << " process " << i;
            }
        }
        EXPECT_EQ(winners.size(), 1u) << "round " << round;
        return winners.empty() ? -1 : winners[0];
    }
};

JointEdit marker(double x, double y) { return {Point2{x, y}, JointReviewState::confirmed}; }

}  // namespace

// Every round, several processes load the same revision and save the next one: exactly one
// wins, the others are told that a newer review is saved, and a concurrent reader always
// finds a whole document.
TEST_F(ReliabilityTest, ConcurrentSaversExactlyOneWinsEachRound) {
    ReviewStore::save(fresh, path, std::nullopt);

    const fs::path stop = temp.path() / "stop";
    pid_t reader = spawn([&] {
        int loads = 0;
        while (!fs::exists(stop) || loads == 0) {
            ReviewStore::load(path);  // throws, and so fails the child, on any torn read
            ++loads;
        }
        return loads > 0 ? 0 : 1;
    });

    for (int round = 0; round < 15; ++round) {
        const int winner = race([&](int i) -> std::function<void()> {
            ReviewDocument mine = ReviewStore::load(path);
            const std::int64_t loaded = mine.revision++;
            mine.frames[0].edits["left_knee"] = marker(i + 1, round + 1);
            return [=, this] { ReviewStore::save(mine, path, loaded); };
        }, round);
        ReviewDocument now = ReviewStore::load(path);
        EXPECT_EQ(now.revision, round + 1);
        EXPECT_EQ(now.frames[0].edits.at("left_knee"), marker(winner + 1, round + 1));
    }
    writeText(stop, "");
    EXPECT_EQ(exitCode(reader), 0) << "a reader saw a partial or invalid document";
    EXPECT_EQ(namesIn(path.parent_path()), (std::set<std::string>{"results.json", path.filename().string(),
                                                       ReviewStore::lockPath(path).filename().string()}));
}

TEST_F(ReliabilityTest, ConcurrentFirstSavesOfAMissingDocumentExactlyOneWins) {
    for (int round = 0; round < 8; ++round) {
        const fs::path target = path.parent_path() / ("new-" + std::to_string(round) + ".json");
        const int winner = race([&](int i) -> std::function<void()> {
            ReviewDocument mine = fresh;
            mine.frames[0].edits["left_knee"] = marker(i + 1, 1);
            return [=] { ReviewStore::save(mine, target, std::nullopt); };
        }, round);
        EXPECT_EQ(ReviewStore::load(target).frames[0].edits.at("left_knee"), marker(winner + 1, 1));
    }
}

namespace {

// The real system, except that its call number `stopAt` first tells the parent through
// `marker` and waits there to be killed; a write is cut in half before it stops.
class StoppingEnv : public platform::Env {
public:
    StoppingEnv(int stopAt, int marker) : stopAt_(stopAt), marker_(marker) {}

    int open(const char* path, int flags, unsigned mode) const override { return stop(), Env::open(path, flags, mode); }
    long write(int fd, const void* data, std::size_t size) const override {
        if (calls_ == stopAt_ && size > 1) Env::write(fd, data, size / 2);
        return stop(), Env::write(fd, data, size);
    }
    int fsync(int fd) const override { return stop(), Env::fsync(fd); }
    int close(int fd) const override { return stop(), Env::close(fd); }
    int rename(const char* from, const char* to) const override { return stop(), Env::rename(from, to); }
    int link(const char* from, const char* to) const override { return stop(), Env::link(from, to); }
    int unlink(const char* path) const override { return stop(), Env::unlink(path); }

private:
    void stop() const {
        if (calls_++ != stopAt_) return;
        const char killMe = 'k';
        if (::write(marker_, &killMe, 1) == 1)
            for (;;) ::pause();
    }
    int stopAt_, marker_;
    mutable int calls_ = 0;
};

}  // namespace

// A saver killed inside any system call of a save (a plain one, or one that converts an
// older-schema file and so first writes its backup) leaves the old or the new document,
// never a broken one; the old bytes always survive, in the document or in a whole backup;
// the next save goes through (the lock died with the saver) and cleans up.
TEST_F(ReliabilityTest, SaversKilledInsideEverySystemCallLoseNothing) {
    const fs::path backup = ReviewStore::legacyBackupURL(path, 2);
    for (const int schema : {3, 2}) {
        SCOPED_TRACE("schema " + std::to_string(schema));
        ReviewDocument old = fresh;
        old.schemaVersion = schema;
        const std::string oldBytes = json::pretty(old);
        ReviewDocument next = fresh;
        next.revision = 1;
        next.frames[0].edits["left_knee"] = marker(7, 7);
        int stops = 0;
        for (int stopAt = 0;; ++stopAt) {
            SCOPED_TRACE("stopped at call " + std::to_string(stopAt));
            writeText(path, oldBytes);
            fs::remove(backup);
            int channel[2];
            ASSERT_EQ(::pipe(channel), 0);
            const pid_t saver = spawn([&] {
                ReviewStore::save(next, path, 0, StoppingEnv(stopAt, channel[1]));
                const char done = 'd';
                return ::write(channel[1], &done, 1) == 1 ? won : otherFailure;
            });
            char said = 0;
            ASSERT_EQ(::read(channel[0], &said, 1), 1) << "the saver died on its own";
            if (said == 'k') ::kill(saver, SIGKILL);
            const int code = exitCode(saver);
            ::close(channel[0]);
            ::close(channel[1]);
            if (said == 'd') {
                ASSERT_EQ(code, won);
                break;
            }
            ASSERT_EQ(code, -SIGKILL);
            ++stops;

            const std::string now = readText(path);
            if (now != oldBytes) {
                EXPECT_EQ(ReviewStore::load(path), next);
                if (schema < 3) {
                    EXPECT_EQ(readText(backup), oldBytes) << "the old review is gone";
                }
            }
            if (fs::exists(backup)) {
                EXPECT_EQ(readText(backup), oldBytes) << "a partial backup";
            }

            ReviewDocument after = next;
            const std::int64_t current = ReviewStore::load(path).revision;
            after.revision = current + 1;
            ASSERT_NO_THROW(ReviewStore::save(after, path, current));
            EXPECT_EQ(ReviewStore::load(path), after);
            if (schema < 3) {
                EXPECT_EQ(readText(backup), oldBytes);
            }
            auto names = namesIn(path.parent_path());
            names.erase(backup.filename().string());
            EXPECT_EQ(names, (std::set<std::string>{"results.json", path.filename().string(),
                                                     ReviewStore::lockPath(path).filename().string()}))
                << "a temporary file was left behind";
        }
        // Every save makes at least: open, write, flush, close and rename of the temporary
        // file; a conversion first the same for the backup, then its link.
        EXPECT_GE(stops, schema < 3 ? 10 : 5);
    }
}
