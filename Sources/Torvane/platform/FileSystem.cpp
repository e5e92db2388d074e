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

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
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

void replaceThroughTemporary(const fs::path& file, const fs::path& temporary, std::string_view bytes) {
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) raise("cannot create temporary file", temporary, errno);
    if (!writeAll(fd, bytes) || ::fsync(fd) != 0) {
        int err = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        raise("cannot write file", file, err);
    }
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(temporary.c_str());
        raise("cannot write file", file, err);
    }
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        int err = errno;
        ::unlink(temporary.c_str());
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

void writeFileAtomically(const fs::path& file, std::string_view bytes) {
    // Hidden, unique and in the same folder, so the rename is atomic and a leftover from
    // a crash is never mistaken for a photo or a document.
    replaceThroughTemporary(file, hiddenSibling(file, ".tmp-" + randomUUID().substr(0, 8)), bytes);
}

void createFileExclusively(const fs::path& file, std::string_view bytes) {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) raise("cannot create file", file, errno);
    if (!writeAll(fd, bytes) || ::fsync(fd) != 0) {
        int err = errno;
        ::close(fd);
        ::unlink(file.c_str());  // ours, created just now and incomplete
        raise("cannot write file", file, err);
    }
    ::close(fd);
    syncFolder(file.parent_path());
}

bool publishExclusively(const fs::path& file, std::string_view bytes) {
    // A unique temporary name: concurrent publishers never touch each other's bytes, and
    // a crash leaves at most a hidden leftover, never a partial file under the real name.
    const fs::path partial = hiddenSibling(file, "." + randomUUID() + ".partial");
    createFileExclusively(partial, bytes);
    const int linked = ::link(partial.c_str(), file.c_str());
    const int err = errno;
    ::unlink(partial.c_str());
    if (linked == 0) {
        syncFolder(file.parent_path());
        return true;
    }
    if (err == EEXIST) return false;
    if (err != EPERM && err != ENOTSUP && err != EXDEV) raise("cannot create file", file, err);
    // No hard links on this file system: create in place.
    try {
        createFileExclusively(file, bytes);
    } catch (const fs::filesystem_error& e) {
        if (e.code() == std::errc::file_exists) return false;
        throw;
    }
    return true;
}

}  // namespace torvane::platform
