#include <gtest/gtest.h>
#include <sys/stat.h>

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

// The one reading function behind every reader: it never waits on a pipe, never reads a
// device, never reads past its limit, and says which file and why.
TEST(FileSystem, ReadingRefusesAllButARegularFileWithinItsLimit) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir / "zero");
    writeText(dir / "big", std::string(2048, 'x'));
    const std::vector<std::pair<fs::path, std::string>> refused = {{dir / "pipe", "it is not a regular file"},
                                                                   {dir / "zero", "it is not a regular file"},
                                                                   {dir / "big", "it is larger than the"},
                                                                   {dir.path(), "it is a folder"},
                                                                   {dir / "missing", "no such file or folder"}};
    for (const auto& [file, why] : refused) {
        const std::string message = messageOf([&] { platform::readFile(file, 1024); });
        EXPECT_TRUE(contains(message, "\"" + file.string() + "\": " + why)) << message;
    }
    EXPECT_EQ(platform::readFile(dir / "big", 2048), std::string(2048, 'x'));
    EXPECT_THROW(platform::openRegularFile(dir / "pipe"), fs::filesystem_error);
}
