#include "Torvane/platform/FileSystem.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "Torvane/ContentHash.h"

namespace torvane::platform {

namespace fs = std::filesystem;

namespace {

std::string reasonFor(int err) {
    switch (err) {
        case ENOENT: return "no such file or folder";
        case EACCES:
        case EPERM: return "permission denied";
        case ENOTDIR: return "a part of the path is not a folder";
        case EISDIR: return "it is a folder";
        case EEXIST: return "something already exists there";
        default: {
            std::string text = std::strerror(err);
            if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z' && (text.size() < 2 || text[1] < 'A' || text[1] > 'Z'))
                text[0] = static_cast<char>(text[0] - 'A' + 'a');
            return text;
        }
    }
}

std::string sentence(std::string action, const fs::path& file, const std::string& reason) {
    if (!action.empty() && action[0] >= 'a' && action[0] <= 'z') action[0] = static_cast<char>(action[0] - 'a' + 'A');
    return action + " \"" + printable(file.string()) + "\": " + reason + ".";
}

}  // namespace

FileError::FileError(const std::string& action, const fs::path& file, int err)
    : fs::filesystem_error(action, file, std::error_code(err, std::generic_category())),
      message_(sentence(action, file, reasonFor(err))) {}

FileError::FileError(const std::string& action, const fs::path& file, const std::string& reason)
    : fs::filesystem_error(action, file, std::make_error_code(std::errc::invalid_argument)),
      message_(sentence(action, file, reason)) {}

void throwFileError(const char* what, const fs::path& file, int err) { throw FileError(what, file, err); }

namespace {

// The length of the well-formed UTF-8 sequence starting at `i` (and its code point), or 0.
std::size_t utf8Sequence(std::string_view text, std::size_t i, char32_t& code) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char c = bytes[i];
    if (c < 0x80) {
        code = c;
        return 1;
    }
    const std::size_t length = c >= 0xc2 && c < 0xe0 ? 2 : c >= 0xe0 && c < 0xf0 ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    code = length == 2 ? c & 0x1f : length == 3 ? c & 0x0f : c & 0x07;
    for (std::size_t k = 1; k < length; ++k) {
        if ((bytes[i + k] & 0xc0) != 0x80) return 0;
        code = (code << 6) | (bytes[i + k] & 0x3f);
    }
    const char32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (code < smallest || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
    return length;
}

}  // namespace

bool isValidUTF8(std::string_view text) {
    char32_t code = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8Sequence(text, i, code);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char buffer[16];
    for (std::size_t i = 0; i < text.size();) {
        char32_t code = 0;
        const std::size_t length = utf8Sequence(text, i, code);
        if (length == 0) {
            std::snprintf(buffer, sizeof buffer, "\\x%02x", static_cast<unsigned char>(text[i]));
            out += buffer;
            ++i;
            continue;
        }
        if (code == '\n') {
            out += "\\n";
        } else if (code == '\t') {
            out += "\\t";
        } else if (code == '\r') {
            out += "\\r";
        } else if (code < 0x20 || code == 0x7f) {
            std::snprintf(buffer, sizeof buffer, "\\x%02x", static_cast<unsigned>(code));
            out += buffer;
        } else if (code >= 0x80 && code <= 0x9f) {  // C1 controls: 0x9b starts escape sequences on some terminals
            std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(code));
            out += buffer;
        } else {
            out.append(text.substr(i, length));
        }
        i += length;
    }
    return out;
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

namespace {

std::string megabytes(std::size_t limit) { return std::to_string(limit >> 20) + " MB"; }

// Opens without ever blocking (O_NONBLOCK: a named pipe with no writer would otherwise
// wait for ever) and looks at what was opened, not at the name, so a link swapped in
// between cannot slip a pipe or device through.
int openChecked(const fs::path& file, struct stat& st) {
    int fd = -1;
    do {
        fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) raise("cannot read", file, errno);
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        ::close(fd);
        raise("cannot read", file, err);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw FileError("cannot read", file,
                        S_ISDIR(st.st_mode) ? std::string("it is a folder")
                                            : std::string("it is not a regular file (a named pipe, device or socket)"));
    }
    return fd;
}

}  // namespace

int openRegularFile(const fs::path& file) {
    struct stat st {};
    return openChecked(file, st);
}

std::string readFile(const fs::path& file, std::size_t limit) {
    struct stat st {};
    int fd = openChecked(file, st);
    const auto tooLarge = [&] {
        ::close(fd);
        throw FileError("cannot read", file, "it is larger than the " + megabytes(limit) + " allowed for such a file");
    };
    if (static_cast<std::uintmax_t>(st.st_size) > limit) tooLarge();
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(st.st_size));
    if (!readToEnd(fd, bytes, limit)) {
        int err = errno;
        ::close(fd);
        raise("cannot read", file, err);
    }
    if (bytes.size() > limit) tooLarge();
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
    replaceThroughTemporary(file, hiddenSibling(file, ".tmp-" + env.randomUUID().substr(0, 8)), bytes, env);
}

int writeNewFile(const fs::path& file, std::string_view bytes, unsigned mode, const char* what, const Env& env) {
    int fd = env.open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return errno;
    if (!writeAll(fd, bytes, env) || env.fsync(fd) != 0) {
        int err = errno;
        env.close(fd);
        env.unlink(file.c_str());  // ours, created just now and incomplete
        raise(what, file, err == 0 ? EIO : err);
    }
    if (env.close(fd) != 0) {
        int err = errno;
        env.unlink(file.c_str());
        raise(what, file, err);
    }
    return 0;
}

void createFileExclusively(const fs::path& file, std::string_view bytes, const Env& env) {
    // Written whole under a unique hidden name, then hard-linked into place: like O_EXCL,
    // link() never replaces anything, and a reader racing with us (another discovery run
    // that lost the race) sees nothing or the whole file, never a partial one.
    const fs::path temporary = hiddenSibling(file, ".tmp-" + env.randomUUID().substr(0, 8));
    if (int err = writeNewFile(temporary, bytes, 0644, "cannot write file", env)) raise("cannot create file", file, err);
    const int linked = env.link(temporary.c_str(), file.c_str());
    const int err = linked == 0 ? 0 : errno;
    env.unlink(temporary.c_str());
    if (linked == 0) {
        syncFolder(file.parent_path());
        return;
    }
    if (err == EEXIST) raise("cannot create file", file, err);
    // No hard links on this file system: create it in place instead.
    if (int again = writeNewFile(file, bytes, 0644, "cannot write file", env)) raise("cannot create file", file, again);
    syncFolder(file.parent_path());
}

FolderLock::FolderLock(const fs::path& folder) {
    do {
        fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) raise("cannot open folder", folder, errno);
    int rc = 0;
    do {
        rc = ::flock(fd_, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    held_ = rc == 0;
}

FolderLock::~FolderLock() {
    if (held_) ::flock(fd_, LOCK_UN);
    ::close(fd_);
}

bool publishExclusively(const fs::path& file, std::string_view bytes) {
    // createFileExclusively already publishes whole or not at all; here a file that is
    // already there is an answer, not a failure.
    try {
        createFileExclusively(file, bytes);
    } catch (const fs::filesystem_error& e) {
        if (e.code() == std::errc::file_exists) return false;
        throw;
    }
    return true;
}

}  // namespace torvane::platform
