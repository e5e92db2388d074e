// The durable writers under system failures injected through the Env seam: a full disk
// while the temporary file is written, a failing flush, a failing rename, a refused folder.
// Each must leave what was there before, remove its own partial files, and report the
// system's error for the right file.
#include <fcntl.h>

#include <cerrno>
#include <functional>
#include <set>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/platform/Env.h"
#include "Torvane/platform/FileSystem.h"

using namespace torvane;
using namespace torvane::test;

namespace {

enum class Fault { noSpaceWhileWriting, flushFails, renameFails, createRefused };

// The real system except for one failure.
class FaultyEnv : public platform::Env {
public:
    explicit FaultyEnv(Fault fault) : fault_(fault) {}
    mutable int injected = 0;  // how often the fault struck

    int open(const char* path, int flags, unsigned mode) const override {
        if (fault_ == Fault::createRefused && (flags & O_CREAT)) return fail(EACCES);
        return Env::open(path, flags, mode);
    }
    long write(int fd, const void* data, std::size_t size) const override {
        // The disk fills up half way through: some bytes land, then ENOSPC.
        if (fault_ != Fault::noSpaceWhileWriting) return Env::write(fd, data, size);
        if (size > 1 && !halfWritten_) {
            halfWritten_ = true;
            return Env::write(fd, data, size / 2);
        }
        return fail(ENOSPC);
    }
    int fsync(int fd) const override { return fault_ == Fault::flushFails ? fail(EIO) : Env::fsync(fd); }
    int rename(const char* from, const char* to) const override {
        return fault_ == Fault::renameFails ? fail(EXDEV) : Env::rename(from, to);
    }

private:
    int fail(int err) const {
        ++injected;
        errno = err;
        return -1;
    }
    Fault fault_;
    mutable bool halfWritten_ = false;
};

struct FaultCase {
    const char* name;
    Fault fault;
    int err;
    const char* what;  // the start of the error's description
};

const FaultCase replaceCases[] = {
    {"disk full", Fault::noSpaceWhileWriting, ENOSPC, "Cannot write file"},
    {"flush fails", Fault::flushFails, EIO, "Cannot write file"},
    {"rename fails", Fault::renameFails, EXDEV, "Cannot replace file"},
    {"folder refused", Fault::createRefused, EACCES, "Cannot create"},
};

// Runs `write` under the fault and checks the error it throws.
void expectFailure(const FaultCase& c, const std::function<void(const platform::Env&)>& write) {
    FaultyEnv env(c.fault);
    try {
        write(env);
        ADD_FAILURE() << c.name << ": no error";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code().value(), c.err) << c.name << ": " << e.what();
        EXPECT_EQ(std::string(e.what()).rfind(c.what, 0), 0u) << c.name << ": " << e.what();
    }
    EXPECT_GT(env.injected, 0) << c.name << ": the fault never struck";
}

}  // namespace

TEST(FaultInjection, AtomicWriteKeepsTheOldFileAndLeavesNoTemporary) {
    for (const auto& c : replaceCases) {
        TempDir dir;
        writeText(dir / "results.json", "old");
        expectFailure(c, [&](const platform::Env& env) {
            platform::writeFileAtomically(dir / "results.json", std::string(5000, 'n'), env);
        });
        EXPECT_EQ(readText(dir / "results.json"), "old") << c.name;
        EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"results.json"}) << c.name;
    }
}

TEST(FaultInjection, ExclusiveCreateLeavesNothingHalfWritten) {
    for (const auto& c : replaceCases) {
        if (c.fault == Fault::renameFails) continue;  // it never renames
        TempDir dir;
        expectFailure(c, [&](const platform::Env& env) {
            platform::createFileExclusively(dir / "session.json", std::string(5000, 'm'), env);
        });
        EXPECT_TRUE(namesIn(dir.path()).empty()) << c.name << ": a partial manifest would block the next run";
    }
}

TEST(FaultInjection, ReviewSaveLosesNothingAndTheNextSaveSucceeds) {
    for (const auto& c : replaceCases) {
        const ReviewOnDisk review;
        ReviewStore::save(review.fresh, review.path, std::nullopt);
        const std::string before = readText(review.path);
        const auto namesBefore = namesIn(review.path.parent_path());

        ReviewDocument next = review.fresh;
        next.revision = 1;
        next.frames[0].setJoint("left_knee", Point2{1, 1}, JointReviewState::confirmed);
        expectFailure(c, [&](const platform::Env& env) { ReviewStore::save(next, review.path, 0, env); });
        EXPECT_EQ(readText(review.path), before) << c.name;
        EXPECT_EQ(namesIn(review.path.parent_path()), namesBefore) << c.name << ": no .saving file is left";

        ReviewStore::save(next, review.path, 0);  // the lock was released
        EXPECT_EQ(ReviewStore::load(review.path), next) << c.name;
    }
}

// An older-schema document whose backup cannot be written is not replaced. The backup is
// written by the exclusive create's writer (its failing flush: ExclusiveCreateLeaves...).
TEST(FaultInjection, ReviewConversionStopsWhenTheBackupFails) {
    const ReviewOnDisk review;
    const fs::path& path = review.path;
    ReviewDocument two = review.fresh;
    two.schemaVersion = 2;
    writeText(path, json::prettyText(json::encode(two)));
    const std::string before = readText(path);
    ReviewDocument next = two;
    next.revision = 1;

    FaultCase full{"disk full", Fault::noSpaceWhileWriting, ENOSPC, "Cannot write backup"};
    expectFailure(full, [&](const platform::Env& env) { ReviewStore::save(next, path, 0, env); });
    EXPECT_EQ(readText(path), before);
    EXPECT_FALSE(fs::exists(ReviewStore::legacyBackupURL(path, 2)));

    FaultyEnv refused(Fault::createRefused);
    EXPECT_EQ(refusalOf([&] { ReviewStore::save(next, path, 0, refused); }),
              (Refusal{"backupFailed", "Cannot create schema-2 backup; review preserved."}));
    EXPECT_EQ(readText(path), before);
}
