// Whole-file reads and the two safe ways the library writes files.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace torvane::platform {

// Reads the whole file; failures throw std::filesystem::filesystem_error.
std::string readFile(const std::filesystem::path& file);

// Writes the bytes to a temporary file in the same folder, flushes it to disk, renames it
// over `file` and flushes the folder, so that a crash leaves the old or the new content,
// never a partial file. On failure the temporary file is removed and the target is
// untouched; the error is a std::filesystem::filesystem_error.
void writeFileAtomically(const std::filesystem::path& file, std::string_view bytes);

// The same through a temporary file the caller names (it must not exist yet).
void replaceThroughTemporary(const std::filesystem::path& file, const std::filesystem::path& temporary,
                             std::string_view bytes);

// A hidden name beside `file`: "." + its name + suffix, in the same folder.
std::filesystem::path hiddenSibling(const std::filesystem::path& file, std::string_view suffix);

// Creates `file` only if nothing exists at that name (O_CREAT | O_EXCL), writes and
// flushes the bytes. An existing file throws std::filesystem::filesystem_error with
// EEXIST and is left untouched.
void createFileExclusively(const std::filesystem::path& file, std::string_view bytes);

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
bool writeAll(int fd, std::string_view bytes);

// Appends what an open descriptor holds to `out`, to its end or until more than `limit`
// bytes were read, retrying on EINTR; false on failure (errno set).
bool readToEnd(int fd, std::string& out, std::size_t limit = static_cast<std::size_t>(-1));

// Throws std::filesystem::filesystem_error for `file` with the errno value `err`.
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
