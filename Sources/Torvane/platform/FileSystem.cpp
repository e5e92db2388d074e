#include "Torvane/platform/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "Torvane/ContentHash.h"

namespace torvane::platform {

namespace fs = std::filesystem;

void throwFileError(const char* what, const fs::path& file, int err) {
    throw fs::filesystem_error(what, file, std::error_code(err, std::generic_category()));
}

namespace {
[[noreturn]] void raise(const char* what, const fs::path& file, int err) { throwFileError(what, file, err); }
}  // namespace

bool readToEnd(int fd, std::string& out, std::size_t limit) {
    char buffer[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out.append(buffer, static_cast<std::size_t>(n));
        if (out.size() > limit) return true;
    }
}

std::string readFile(const fs::path& file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) raise("cannot open file", file, errno);
    std::string bytes;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) bytes.reserve(static_cast<std::size_t>(st.st_size));
    if (!readToEnd(fd, bytes)) {
        int err = errno;
        ::close(fd);
        raise("cannot read file", file, err);
    }
    ::close(fd);
    return bytes;
}

fs::path canonicalPath(const fs::path& path) {
    std::string text = fs::weakly_canonical(fs::absolute(path)).lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

bool writeAll(int fd, std::string_view bytes, const Env& env) {
    while (!bytes.empty()) {
        long n = env.write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void syncFolder(const fs::path& folder) {
    int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;  // best effort: the rename itself has already happened
    ::fsync(fd);
    ::close(fd);
}

void replaceThroughTemporary(const fs::path& file, const fs::path& temporary, std::string_view bytes, const Env& env) {
    int fd = env.open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) raise("cannot create temporary file", temporary, errno);
    if (!writeAll(fd, bytes, env) || env.fsync(fd) != 0) {
        int err = errno;
        env.close(fd);
        env.unlink(temporary.c_str());
        raise("cannot write file", file, err);
    }
    if (env.close(fd) != 0) {
        int err = errno;
        env.unlink(temporary.c_str());
        raise("cannot write file", file, err);
    }
    if (env.rename(temporary.c_str(), file.c_str()) != 0) {
        int err = errno;
        env.unlink(temporary.c_str());
        raise("cannot replace file", file, err);
    }
    syncFolder(file.parent_path());
}

fs::path hiddenSibling(const fs::path& file, std::string_view suffix) {
    std::string name = ".";
    name += file.filename().string();
    name += suffix;
    return file.parent_path() / name;
}

void writeFileAtomically(const fs::path& file, std::string_view bytes, const Env& env) {
    // Hidden, unique and in the same folder, so the rename is atomic and a leftover from
    // a crash is never mistaken for a photo or a document.
    replaceThroughTemporary(file, hiddenSibling(file, ".tmp-" + randomUUID().substr(0, 8)), bytes, env);
}

int writeNewFile(const fs::path& file, std::string_view bytes, unsigned mode, const char* what, const Env& env) {
    int fd = env.open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return errno;
    if (!writeAll(fd, bytes, env) || env.fsync(fd) != 0) {
        int err = errno;
        env.close(fd);
        env.unlink(file.c_str());  // ours, created just now and incomplete
        raise(what, file, err);
    }
    env.close(fd);
    return 0;
}

void createFileExclusively(const fs::path& file, std::string_view bytes, const Env& env) {
    if (int err = writeNewFile(file, bytes, 0644, "cannot write file", env)) raise("cannot create file", file, err);
    syncFolder(file.parent_path());
}

}  // namespace torvane::platform
