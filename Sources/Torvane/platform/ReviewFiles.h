// The POSIX pieces of saving a review: an exclusive advisory lock on a companion lock
// file, byte-exact backups that never follow links or block on pipes, and an atomic,
// durable replacement through one fixed temporary file.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "Torvane/platform/Env.h"

namespace torvane::platform {

// An exclusive flock on a lock file that is created if missing (mode 0600), never written
// and never deleted. The destructor releases the lock (LOCK_UN) and then closes the file,
// so every way out of a save lets the next saver in.
class ExclusiveLock {
public:
    explicit ExclusiveLock(const std::filesystem::path& lockFile);
    ~ExclusiveLock();
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

    // Whether the lock file could be opened or created.
    bool isOpen() const { return fd_ >= 0; }
    // Waits until the lock is held, at most `patience`; `waiting` (if any) is told once when
    // another holder makes it wait. False when the time runs out or flock fails.
    bool acquire(std::chrono::milliseconds patience, const std::function<void()>& waiting = {});

private:
    int fd_ = -1;
    bool locked_ = false;
};

// Reads a whole review document without ever blocking on what is there: a named pipe,
// device or folder at the path, or a file over the review-document size limit, throws
// std::filesystem::filesystem_error, as does any open or read failure.
std::string readRegularFile(const std::filesystem::path& file);

enum class BackupOutcome {
    created,          // written exclusively and flushed
    alreadyIdentical, // a regular file with exactly these bytes was already there
    cannotCreate,     // creation failed other than because something exists at the path
    cannotOpen,       // something exists but cannot be opened without following or blocking
    differs,          // what exists is not a regular file or holds other bytes
};

// Keeps `bytes` at `backup` (mode 0600) without ever replacing what is there, whole or not
// at all: written and flushed under the hidden name ".<backup>.partial" and hard-linked into
// place (created in place where the file system has no hard links). Only for callers that
// hold the document's lock: a leftover partial file is removed first. A failure to write or
// flush throws std::filesystem::filesystem_error; so does a failure to read an existing backup.
BackupOutcome preserveExclusively(const std::filesystem::path& backup, std::string_view bytes,
                                  const Env& env = Env::system());

// Replaces `file` by `bytes` through `temporary` (same folder): the temporary file is
// written and flushed, renamed over `file`, and the folder flushed, so that readers and
// a crash at any moment see the old or the new content. Only for callers that hold the
// file's lock: a leftover temporary file of a saver that died is removed first.
// Failures throw std::filesystem::filesystem_error and leave `file` untouched.
void replaceFileDurably(const std::filesystem::path& file, const std::filesystem::path& temporary,
                        std::string_view bytes, const Env& env = Env::system());

}  // namespace torvane::platform
