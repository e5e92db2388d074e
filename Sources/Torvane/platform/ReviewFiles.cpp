#include "Torvane/platform/ReviewFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "Torvane/platform/FileSystem.h"

namespace torvane::platform {

namespace fs = std::filesystem;

ExclusiveLock::ExclusiveLock(const fs::path& lockFile) {
    do {
        fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd_ < 0 && errno == EINTR);
}

bool ExclusiveLock::acquire(std::chrono::milliseconds patience, const std::function<void()>& waiting) {
    if (fd_ < 0) return false;
    // Polled rather than a blocking flock, so the wait has an end.
    const auto deadline = std::chrono::steady_clock::now() + patience;
    bool told = false;
    for (;;) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return locked_ = true;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (!told && waiting) waiting();
        told = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

ExclusiveLock::~ExclusiveLock() {
    if (locked_) ::flock(fd_, LOCK_UN);
    if (fd_ >= 0) ::close(fd_);
}

std::string readRegularFile(const fs::path& file) { return readFile(file, reviewFileLimit); }

namespace {

// Something is at the backup path already (perhaps a link or a pipe): look, never follow or wait.
BackupOutcome compareExisting(const fs::path& backup, std::string_view bytes) {
    int fd = ::open(backup.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return BackupOutcome::cannotOpen;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return BackupOutcome::differs;
    }
    std::string existing;
    if (!readToEnd(fd, existing, bytes.size())) {  // stops once longer: already known to differ
        int err = errno;
        ::close(fd);
        throwFileError("cannot read backup", backup, err);
    }
    ::close(fd);
    return existing == bytes ? BackupOutcome::alreadyIdentical : BackupOutcome::differs;
}

}  // namespace

BackupOutcome preserveExclusively(const fs::path& backup, std::string_view bytes, const Env& env) {
    // The backup should appear whole or not at all: a partial one left by a crash would
    // differ from the document for ever and stop every later save. So it is written and
    // flushed under a hidden name and hard-linked into place; like O_EXCL, link() never
    // replaces or follows anything at the name.
    const fs::path partial = hiddenSibling(backup, ".partial");
    env.unlink(partial.c_str());  // a leftover of a saver that died here (the caller holds the lock)
    if (writeNewFile(partial, bytes, 0600, "cannot write backup", env) == 0) {
        int linked = env.link(partial.c_str(), backup.c_str());
        int err = errno;
        env.unlink(partial.c_str());
        if (linked == 0) {
            syncFolder(backup.parent_path());
            return BackupOutcome::created;
        }
        if (err == EEXIST) return compareExisting(backup, bytes);
        // No hard links on this file system: create the backup in place instead.
    }
    int err = writeNewFile(backup, bytes, 0600, "cannot write backup", env);
    if (err == 0) {
        syncFolder(backup.parent_path());
        return BackupOutcome::created;
    }
    return err == EEXIST ? compareExisting(backup, bytes) : BackupOutcome::cannotCreate;
}

void replaceFileDurably(const fs::path& file, const fs::path& temporary, std::string_view bytes, const Env& env) {
    // Under the lock nobody else writes the temporary file: anything there was left by a
    // saver that died mid-write.
    if (env.unlink(temporary.c_str()) != 0 && errno != ENOENT)
        throwFileError("cannot remove stale temporary file", temporary, errno);
    replaceThroughTemporary(file, temporary, bytes, env);
}

}  // namespace torvane::platform
