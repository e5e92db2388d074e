// The system as the library meets it, as one seam: the system calls of the durable writers,
// the clock, random UUIDs and standard output. The real system by default, or a test's that
// fails on purpose (a full disk, a failing flush or rename, a refused folder) or answers with
// fixed values (a clock, a UUID) and keeps what is written.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace torvane::platform {

class Env {
public:
    virtual ~Env() = default;

    // Each does what the POSIX call of that name does: same arguments, same result, errno set.
    virtual int open(const char* path, int flags, unsigned mode) const;
    virtual long write(int fd, const void* data, std::size_t size) const;
    virtual int fsync(int fd) const;
    virtual int close(int fd) const;
    virtual int rename(const char* from, const char* to) const;
    virtual int link(const char* from, const char* to) const;
    virtual int unlink(const char* path) const;

    // The wall clock.
    virtual std::chrono::system_clock::time_point now() const;
    // A random (version 4) UUID in lower case, from the system's secure generator.
    virtual std::string randomUUID() const;
    // Writes to the process's standard output and flushes.
    virtual void writeOutput(std::string_view text) const;

    // The real system.
    static const Env& system();
};

}  // namespace torvane::platform
