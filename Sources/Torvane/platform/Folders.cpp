// Folder listing and name ordering for session discovery.
#include <dirent.h>
#include <glib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>
#include <utility>

#include "Torvane/platform/FileSystem.h"

namespace torvane::platform {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void raise(const char* what, const fs::path& file, int err) {
    throw fs::filesystem_error(what, file, std::error_code(err, std::generic_category()));
}

// UTF-8 preserves code-point order under byte comparison, so the NFC bytes are the key.
std::string composed(const std::string& name) {
    std::unique_ptr<gchar, decltype(&g_free)> nfc(
        g_utf8_normalize(name.data(), static_cast<gssize>(name.size()), G_NORMALIZE_NFC), &g_free);
    return nfc ? std::string(nfc.get()) : name;
}

}  // namespace

EntryAttributes entryAttributes(const fs::path& entry) {
    struct stat st {};
    if (::lstat(entry.c_str(), &st) != 0) raise("cannot read attributes", entry, errno);
    return {S_ISDIR(st.st_mode), S_ISREG(st.st_mode), S_ISLNK(st.st_mode)};
}

bool entryExists(const fs::path& entry) {
    struct stat st {};
    return ::lstat(entry.c_str(), &st) == 0;
}

std::vector<std::string> listFolder(const fs::path& folder) {
    struct CloseDir {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    std::unique_ptr<DIR, CloseDir> dir(::opendir(folder.c_str()));
    if (!dir) raise("cannot list folder", folder, errno);
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (!entry) {
            if (errno != 0) raise("cannot list folder", folder, errno);
            break;
        }
        // Hidden entries include "." and "..".
        if (entry->d_name[0] == '.') continue;
        names.emplace_back(entry->d_name);
    }
    sortNames(names);
    return names;
}

void sortNames(std::vector<std::string>& names) {
    std::vector<std::pair<std::string, std::string>> keyed;
    keyed.reserve(names.size());
    for (auto& name : names) keyed.emplace_back(composed(name), std::move(name));
    std::sort(keyed.begin(), keyed.end());
    names.clear();
    for (auto& [key, name] : keyed) names.push_back(std::move(name));
}

}  // namespace torvane::platform
