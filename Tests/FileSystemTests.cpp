#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/platform/FileSystem.h"

using namespace torvane;
using namespace torvane::test;
namespace fs = std::filesystem;

TEST(FileSystem, AtomicWriteReplacesWholeAndLeavesNothingBehind) {
    TempDir dir;
    platform::writeFileAtomically(dir / "a.json", "first");
    platform::writeFileAtomically(dir / "a.json", "second");
    EXPECT_EQ(platform::readFile(dir / "a.json"), "second");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    // A refused folder, a full disk and failing flushes or renames: FaultInjectionTests.
    EXPECT_THROW(platform::writeFileAtomically(dir / "missing" / "a.json", "x"), fs::filesystem_error);
}

TEST(FileSystem, ExclusiveCreateNeverReplaces) {
    TempDir dir;
    platform::createFileExclusively(dir / "session.json", "mine");
    try {
        platform::createFileExclusively(dir / "session.json", "other");
        FAIL();
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code().value(), EEXIST);
    }
    EXPECT_EQ(platform::readFile(dir / "session.json"), "mine");
    // Not through a dangling link either.
    fs::create_symlink(dir / "nowhere", dir / "link.json");
    EXPECT_THROW(platform::createFileExclusively(dir / "link.json", "x"), fs::filesystem_error);
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
}

TEST(FileSystem, CanonicalPathOfMissingFiles) {
    TempDir dir;
    fs::create_directory(dir / "real");
    fs::create_directory_symlink(dir / "real", dir / "link");
    EXPECT_EQ(platform::canonicalPath(dir / "link" / "x" / ".." / "y.jpg"), dir / "real" / "y.jpg");
    EXPECT_EQ(platform::canonicalPath(dir / "real" / ""), dir / "real");
}
