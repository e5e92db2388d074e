// The clock, random UUIDs and standard output reach the library through platform::Env:
// a test's Env with fixed answers makes names and stamps deterministic.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <set>

#include "TestSupport.h"
#include "Torvane/Dates.h"
#include "Torvane/FeasibilityRunner.h"
#include "Torvane/ReviewDocument.h"
#include "Torvane/SessionDiscovery.h"
#include "Torvane/platform/Env.h"

using namespace torvane;
using namespace torvane::test;
namespace fs = std::filesystem;

namespace {

// The real file system with a fixed clock and UUID, keeping what it is asked to print.
class FixedEnv : public platform::Env {
public:
    FixedEnv(std::chrono::system_clock::time_point now, std::string uuid) : now_(now), uuid_(std::move(uuid)) {}
    std::chrono::system_clock::time_point now() const override { return now_; }
    std::string randomUUID() const override { return uuid_; }
    void writeOutput(std::string_view text) const override { printed += text; }

    mutable std::string printed;

private:
    std::chrono::system_clock::time_point now_;
    std::string uuid_;
};

// A disk that is full: every write fails.
class FullDiskEnv : public FixedEnv {
public:
    using FixedEnv::FixedEnv;
    long write(int, const void*, std::size_t) const override {
        errno = ENOSPC;
        return -1;
    }
};

// 2026-05-01T12:34:56.750Z: stamps keep the fraction, dates drop it (never round it up).
const auto fixedTime = std::chrono::system_clock::time_point(std::chrono::milliseconds(1777638896750));
const std::string uuid = "0f1e2d3c-4b5a-4697-8877-665544332211";

}  // namespace

// Discovery names its run folder with the UUID it is given. A run folder that is already
// there (a UUID that came up twice, or a folder made by hand) is refused and left alone; it
// must not block later runs of the same bytes.
TEST(SystemSeam, ARunFolderThatAlreadyExistsIsLeftAloneAndDoesNotBlockTheNextRun) {
    TempDir data;
    fs::create_directory(data / "s");
    writePhoto(data / "s" / "a.png", 64, 48);
    const fs::path taken = data / "s" / ("analysis-auto-" + uuid);
    fs::create_directory(taken);
    writeText(taken / "notes.txt", "someone else's");
    const FixedEnv env(fixedTime, uuid);

    const auto first = SessionDiscovery::run(data.path(), {}, {}, {}, env);
    ASSERT_EQ(first.failures.size(), 1u);
    EXPECT_EQ(first.failures[0].message,
              "Output directory already exists; choose a new run directory to preserve evidence.");
    EXPECT_EQ(namesIn(taken), std::set<std::string>{"notes.txt"});

    const FixedEnv other(fixedTime, "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee");
    ScriptedAnalysis analysis;
    const auto second = SessionDiscovery::run(data.path(), {}, {}, analysis.callback(), other);
    EXPECT_EQ(analysis.calls, 1);
    ASSERT_EQ(second.sessions.size(), 1u);
    EXPECT_TRUE(second.sessions[0].wasAnalyzed);
}

TEST(SystemSeam, RunReportsReviewHistoryAndRetriesAreStampedByTheGivenClock) {
    const FixedEnv env(fixedTime, uuid);
    TempDir folder;
    writePhoto(folder / "a.png", 64, 48);
    const json::Value crop = rect(0, 0, 64, 48);
    const json::Value pairs = json::Value::array({manifestPair("B2", "a.png", {manifestRider("subject", "R", crop, crop)})});
    writeText(folder / "session.json", manifestOf(pairs).dump());
    const auto report = FeasibilityRunner::run(
        folder / "session.json", folder / "run", scriptedPoses(), [](const std::string&) {}, env);
    EXPECT_EQ(report.generatedAt, "2026-05-01T12:34:56Z");
    EXPECT_EQ(env.printed, "") << "the runner prints only through its sink";

    const double expected = referenceSeconds(fixedTime);
    ASSERT_DOUBLE_EQ(expected, 799331696.75);  // seconds since 2001-01-01T00:00:00Z

    ReviewFrame frame("p1-subject", "p1", "subject", "Ana", "a.jpg", "h", {100, 200, 300, 400}, std::nullopt,
                      std::nullopt);
    frame.setJoint("left_knee", Point2{150, 250}, JointReviewState::corrected, env);
    frame.restore("left_knee", std::nullopt, env);
    ASSERT_EQ(frame.history.size(), 2u);
    EXPECT_EQ(frame.history[0].timestamp, expected);
    EXPECT_EQ(frame.history[1].timestamp, expected);
    EXPECT_EQ(DetectionRetry({100, 200, 50, 50}, std::nullopt, std::nullopt, env).timestamp, expected);
}

// Discovery writes through the Env it is given: a full disk while the first manifest is
// written leaves no session.json (whole or partial) and no temporary file, so the next
// run writes it.
TEST(SystemSeam, AFullDiskLeavesNoPartialManifestAndTheNextRunWritesIt) {
    TempDir data;
    fs::create_directory(data / "s");
    writePhoto(data / "s" / "a.png", 64, 48);
    ScriptedAnalysis analysis;

    const auto full = SessionDiscovery::run(data.path(), {}, {}, analysis.callback(), FullDiskEnv(fixedTime, uuid));
    ASSERT_EQ(full.failures.size(), 1u);
    EXPECT_EQ(full.failures[0].message, "Cannot write file \"" + (data / "s" / ".session.json.tmp-0f1e2d3c").string() +
                                            "\": no space left on device.");
    EXPECT_TRUE(full.sessions.empty());
    EXPECT_EQ(namesIn(data / "s"), std::set<std::string>{"a.png"});
    EXPECT_EQ(analysis.calls, 0);

    const auto next = SessionDiscovery::run(data.path(), {}, {}, analysis.callback(), FixedEnv(fixedTime, uuid));
    ASSERT_EQ(next.sessions.size(), 1u);
    EXPECT_EQ(analysis.calls, 1);
}
