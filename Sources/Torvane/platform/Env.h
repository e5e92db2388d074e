// The system calls of the durable writers as one seam: the real ones by default, or a
// test's that fail on purpose (a full disk, a failing flush or rename, a refused folder).
#pragma once

#include <cstddef>

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

    // The real system.
    static const Env& system();
};

}  // namespace torvane::platform
