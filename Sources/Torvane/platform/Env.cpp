#include "Torvane/platform/Env.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace torvane::platform {

int Env::open(const char* path, int flags, unsigned mode) const { return ::open(path, flags, mode); }
long Env::write(int fd, const void* data, std::size_t size) const { return ::write(fd, data, size); }
int Env::fsync(int fd) const { return ::fsync(fd); }
int Env::close(int fd) const { return ::close(fd); }
int Env::rename(const char* from, const char* to) const { return ::rename(from, to); }
int Env::link(const char* from, const char* to) const { return ::link(from, to); }
int Env::unlink(const char* path) const { return ::unlink(path); }

std::chrono::system_clock::time_point Env::now() const { return std::chrono::system_clock::now(); }

// Env::randomUUID is in Crypto.cpp, beside the other users of the secure generator.

void Env::writeOutput(std::string_view text) const { std::cout << text << std::flush; }

const Env& Env::system() {
    static const Env real;  // stateless
    return real;
}

}  // namespace torvane::platform
