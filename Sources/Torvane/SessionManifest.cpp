#include "Torvane/SessionManifest.h"

#include <set>

#include "Torvane/Json.h"
#include "Torvane/platform/FileSystem.h"

namespace torvane {

namespace fs = std::filesystem;

const RiderInput* PairInput::rider(const std::string& role) const {
    for (const auto& r : riders)
        if (r.role == role) return &r;
    return nullptr;
}

bool SessionManifest::isSafeID(const std::string& id) {
    if (id.empty() || id.size() > maxIDLength) return false;
    for (char c : id) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

fs::path SessionManifest::assetURL(const PairInput& pair, const RiderInput* rider, const fs::path& manifestPath) {
    const std::string& relative = rider && rider->file ? *rider->file : pair.file;
    fs::path root = platform::canonicalPath(fs::absolute(manifestPath).parent_path());
    if (!relative.empty() && relative.front() == '/') throw PoseError(PoseErrorCode::pathEscapes, "Asset path must be relative.");
    fs::path candidate = platform::canonicalPath(root / relative);
    const std::string prefix = root.string() == "/" ? "/" : root.string() + "/";
    const std::string text = candidate.string();
    if (text.size() > prefix.size() && text.compare(0, prefix.size(), prefix) == 0) return candidate;
    throw PoseError(PoseErrorCode::pathEscapes, "Asset escapes session folder.");
}

SessionManifest SessionManifest::load(const fs::path& path, std::string* bytes) {
    auto manifest = json::decodeFile<SessionManifest>(path, platform::recordFileLimit, bytes);

    std::set<std::string> ids;
    for (const auto& pair : manifest.pairs) ids.insert(pair.id);
    if (manifest.schemaVersion != 1 || manifest.pairs.empty() || ids.size() != manifest.pairs.size())
        throw PoseError(PoseErrorCode::invalidManifest, schemaMessage);

    for (const auto& pair : manifest.pairs) {
        std::set<std::string> roles;
        for (const auto& r : pair.riders) roles.insert(r.role);
        bool rolesOK = (pair.riders.size() == 1 && roles == std::set<std::string>{"subject"}) ||
                       (pair.riders.size() == 2 && roles == std::set<std::string>{"subject", "reference"});
        if (!isSafeID(pair.id) || !rolesOK) throw PoseError(PoseErrorCode::invalidManifest, entryMessage);
        assetURL(pair, nullptr, path);
        for (const auto& r : pair.riders) assetURL(pair, &r, path);
    }
    return manifest;
}

}  // namespace torvane
