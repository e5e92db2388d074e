// Whole-file reads and the two safe ways the library writes files.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "Torvane/platform/Env.h"

namespace torvane::platform {

// The most a whole-file read takes in. Checked on the open file's size before anything is
// read (and again while reading, for a file that grows), so a huge or endless file is
// refused at once instead of filling memory.
inline constexpr std::size_t recordFileLimit = std::size_t{16} << 20;  // manifests, results, coaching files
inline constexpr std::size_t reviewFileLimit = std::size_t{64} << 20;  // review documents grow with history
inline constexpr std::size_t photoFileLimit = std::size_t{384} << 20;  // 40 MP, 4 bands of 16 bits, uncompressed

// A file-system failure with a sentence for the user that names the file (control
// characters and bytes that are not UTF-8 shown escaped) instead of the library's raw
// "filesystem error: ..." text. Still a std::filesystem::filesystem_error for callers.
class FileError : public std::filesystem::filesystem_error {
public:
    FileError(const std::string& action, const std::filesystem::path& file, int err);
    FileError(const std::string& action, const std::filesystem::path& file, const std::string& reason);
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Reads the whole file. It is opened without blocking and must be a regular file (a named
// pipe, device or folder is refused, never waited on) of at most `limit` bytes. Failures
// throw FileError.
std::string readFile(const std::filesystem::path& file, std::size_t limit = photoFileLimit);

// Opens a file for reading the same way (non-blocking, regular files only); returns the
// descriptor, which the caller closes. Failures throw FileError.
int openRegularFile(const std::filesystem::path& file);

// The text with control characters, C1 controls and bytes that are not UTF-8 written as
// escapes (\n, \x1b, \xe9, \u{9b}), so a name can be shown on a terminal or stored as
// JSON text whatever bytes it holds. Valid, printable text comes back unchanged.
std::string printable(std::string_view text);

// Whether the bytes are well-formed UTF-8 (what JSON text must be).
bool isValidUTF8(std::string_view text);

// An exclusive advisory lock (flock) on a folder's own descriptor, tried once without
// waiting; no file is created. Released when the object goes, or when the process ends
// however it ends. A folder that cannot be opened throws FileError.
class FolderLock {
public:
    explicit FolderLock(const std::filesystem::path& folder);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    // False when another open descriptor (another process) holds it.
    bool held() const { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};

// Writes the bytes to a temporary file in the same folder, flushes it to disk, renames it
// over `file` and flushes the folder, so that a crash leaves the old or the new content,
// never a partial file. On failure the temporary file is removed and the target is
// untouched; the error is a std::filesystem::filesystem_error.
void writeFileAtomically(const std::filesystem::path& file, std::string_view bytes, const Env& env = Env::system());

// The same through a temporary file the caller names (it must not exist yet).
void replaceThroughTemporary(const std::filesystem::path& file, const std::filesystem::path& temporary,
                             std::string_view bytes, const Env& env = Env::system());

// A hidden name beside `file`: "." + its name + suffix, in the same folder.
std::filesystem::path hiddenSibling(const std::filesystem::path& file, std::string_view suffix);

// Creates `file` only if nothing exists at that name, whole or not at all (written and
// flushed under a hidden name, then hard-linked into place). An existing file throws
// std::filesystem::filesystem_error with EEXIST and is left untouched.
void createFileExclusively(const std::filesystem::path& file, std::string_view bytes, const Env& env = Env::system());

// The step both exclusive writers share: creates `file` with `mode` (never through a link),
// writes and flushes the bytes. Returns 0, or the errno of a failed creation (EEXIST:
// something is there). A failed write or flush removes the file it created and throws
// std::filesystem::filesystem_error with `what`.
int writeNewFile(const std::filesystem::path& file, std::string_view bytes, unsigned mode, const char* what,
                 const Env& env);

// Creates `file` holding `bytes`, whole or not at all, never replacing anything: written and
// flushed under a unique hidden name beside it, then hard-linked into place (created in
// place where the file system has no hard links). False when something already exists at
// the name, which is left untouched; other failures throw std::filesystem::filesystem_error.
bool publishExclusively(const std::filesystem::path& file, std::string_view bytes);

// Flushes a folder's entries (after a rename or create) to disk.
void syncFolder(const std::filesystem::path& folder);

// Canonical form of a path that may not exist yet: absolute, symbolic links of the
// existing part resolved, "." and ".." removed, no trailing separator.
std::filesystem::path canonicalPath(const std::filesystem::path& path);

// Writes all bytes to an open descriptor, retrying on EINTR; false on failure (errno set).
bool writeAll(int fd, std::string_view bytes, const Env& env = Env::system());

// Appends what an open descriptor holds to `out`, to its end or until more than `limit`
// bytes were read, retrying on EINTR; false on failure (errno set).
bool readToEnd(int fd, std::string& out, std::size_t limit = static_cast<std::size_t>(-1));

// Throws FileError for `file` with the errno value `err`.
[[noreturn]] void throwFileError(const char* what, const std::filesystem::path& file, int err);

// What lstat says about one folder entry (a symbolic link is reported as such, never
// followed). Throws std::filesystem::filesystem_error when the entry cannot be examined.
struct EntryAttributes {
    bool isDirectory = false;
    bool isRegularFile = false;
    bool isSymbolicLink = false;
};
EntryAttributes entryAttributes(const std::filesystem::path& entry);

// Whether anything, even a dangling symbolic link, exists at the path.
bool entryExists(const std::filesystem::path& entry);

// The names of a folder's direct entries without the hidden ones (a leading dot), sorted
// by sortNames. A folder that cannot be listed throws std::filesystem::filesystem_error.
std::vector<std::string> listFolder(const std::filesystem::path& folder);

// Sorts names by the Unicode code points of their canonically composed (NFC) forms, so the
// order does not depend on how the file system happens to store or list them. A name that
// is not valid UTF-8 is compared by its bytes.
void sortNames(std::vector<std::string>& names);

}  // namespace torvane::platform
