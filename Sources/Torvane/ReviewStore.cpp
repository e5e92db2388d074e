#include "Torvane/ReviewStore.h"

#include <set>

#include "Torvane/ContentHash.h"
#include "Torvane/FeasibilityReport.h"
#include "Torvane/ImageInput.h"
#include "Torvane/LeanReview.h"
#include "Torvane/PairReview.h"
#include "Torvane/SessionManifest.h"
#include "Torvane/platform/FileSystem.h"
#include "Torvane/platform/ReviewFiles.h"

namespace torvane {

namespace fs = std::filesystem;

namespace {

// Two optional detector results are the same evidence when their canonical encodings match.
bool sameResult(const std::optional<PoseResult>& a, const std::optional<PoseResult>& b) {
    if (!a || !b) return a.has_value() == b.has_value();
    return json::canonical(*a) == json::canonical(*b);
}

fs::path withSuffix(const fs::path& url, const std::string& suffix) {
    fs::path out = url;
    out += suffix;
    return out;
}

}  // namespace

std::string ReviewStore::digest(std::string_view bytes) { return contentHash(bytes); }

fs::path ReviewStore::documentURL(const fs::path& reportURL) {
    return reportURL.parent_path() / ("joint-review-" + contentHashOfFile(reportURL).substr(0, 12) + ".json");
}

ReviewDocument ReviewStore::make(const fs::path& manifestURL, const fs::path& reportURL) {
    SessionManifest manifest = SessionManifest::load(manifestURL);
    const std::string reportBytes = platform::readFile(reportURL);
    auto report = json::decodeText<FeasibilityReport>(reportBytes);
    const std::string manifestHash = digest(platform::readFile(manifestURL));
    if (report.schemaVersion != 1 || report.manifestHash != manifestHash)
        throw PoseError(PoseErrorCode::changedEvidence, differentManifestMessage);

    std::vector<ReviewFrame> frames;
    for (const auto& pair : manifest.pairs) {
        for (const auto& rider : pair.riders) {
            const CropReport* crop = nullptr;
            int matches = 0;
            for (const auto& candidate : report.crops)
                if (candidate.pairID == pair.id && candidate.role == rider.role) {
                    crop = &candidate;
                    ++matches;
                }
            if (matches != 1 || !crop->sourceHash)
                throw PoseError(PoseErrorCode::changedEvidence, "Missing or duplicate source evidence for " + pair.id + " " + rider.role + ".");
            // Only the hash and the upright size are needed: a header probe gives both
            // without decoding, which keeps rescans of reviewed sessions cheap.
            ImageProbe photo = ImageInput::probe(SessionManifest::assetURL(pair, &rider, manifestURL));
            if (photo.sha256 != *crop->sourceHash)
                throw PoseError(PoseErrorCode::changedEvidence, "Source image changed: " + pair.id + " " + rider.role + ".");
            rider.panel.validate(photo.width, photo.height);
            frames.emplace_back(pair.id + "-" + rider.role, pair.id, rider.role, rider.rider,
                                rider.file.value_or(pair.file), *crop->sourceHash, rider.panel, crop->threeD,
                                crop->twoD);
        }
    }
    return ReviewDocument(manifestHash, digest(reportBytes), std::move(frames));
}

ReviewDocument ReviewStore::decode(std::string_view bytes) {
    auto document = json::decodeText<ReviewDocument>(bytes);
    std::set<std::string> ids;
    bool duplicate = false;
    for (const auto& frame : document.frames) duplicate = duplicate || !ids.insert(frame.id).second;
    if (document.schemaVersion < 1 || document.schemaVersion > ReviewDocument::currentSchema || document.revision < 0 ||
        duplicate)
        throw PoseError(PoseErrorCode::invalidDocument, invalidDocumentMessage);
    PairReview::validate(document);
    LeanReview::validate(document);
    for (const auto& frame : document.frames)
        for (const auto& [joint, edit] : frame.edits)
            if (!frame.admits(joint, edit)) throw PoseError(PoseErrorCode::invalidDocument, invalidEditMessage);
    return document;
}

ReviewDocument ReviewStore::load(const fs::path& url) { return decode(platform::readRegularFile(url)); }

void ReviewStore::validate(const ReviewDocument& document, const ReviewDocument& reference) {
    PairReview::validate(document);
    LeanReview::validate(document);
    if (document.manifestHash != reference.manifestHash || document.reportHash != reference.reportHash ||
        document.frames.size() != reference.frames.size())
        throw PoseError(PoseErrorCode::changedEvidence, differentEvidenceMessage);
    for (const auto& frame : document.frames) {
        const ReviewFrame* original = reference.frame(frame.id);
        if (!original || frame.pairID != original->pairID || frame.role != original->role ||
            frame.rider != original->rider || frame.file != original->file ||
            frame.sourceHash != original->sourceHash || frame.panel != original->panel ||
            !sameResult(frame.raw3D, original->raw3D) || !sameResult(frame.raw2D, original->raw2D))
            throw PoseError(PoseErrorCode::changedEvidence, differentFrameMessage);
    }
}

fs::path ReviewStore::assetURL(const std::string& file, const fs::path& manifestURL) {
    const std::string folder = platform::canonicalPath(fs::absolute(manifestURL).parent_path()).string();
    if (file.empty() || file.front() == '/') throw PoseError(PoseErrorCode::pathEscapes, escapeMessage);
    const fs::path resolved = platform::canonicalPath(fs::path(folder) / file);
    const std::string prefix = folder == "/" ? folder : folder + "/";
    if (resolved.string().rfind(prefix, 0) != 0) throw PoseError(PoseErrorCode::pathEscapes, escapeMessage);
    return resolved;
}

fs::path ReviewStore::legacyBackupURL(const fs::path& url, std::int64_t schema) {
    return withSuffix(url, ".schema" + std::to_string(schema) + "-backup");
}

fs::path ReviewStore::lockURL(const fs::path& url) { return withSuffix(url, ".lock"); }

namespace {

// Keeps the exact bytes of an older-schema document before it is replaced.
void preserveLegacy(const std::string& bytes, const fs::path& url, std::int64_t schema) {
    const std::string n = std::to_string(schema);
    switch (platform::preserveExclusively(ReviewStore::legacyBackupURL(url, schema), bytes)) {
        case platform::BackupOutcome::created:
        case platform::BackupOutcome::alreadyIdentical: return;
        case platform::BackupOutcome::cannotCreate:
            throw PoseError(PoseErrorCode::backupFailed, "Cannot create schema-" + n + " backup; review preserved.");
        case platform::BackupOutcome::cannotOpen:
            throw PoseError(PoseErrorCode::backupFailed, "Cannot safely read schema-" + n + " backup.");
        case platform::BackupOutcome::differs:
            throw PoseError(PoseErrorCode::backupFailed, "Schema-" + n + " backup differs or is not a regular file; both files preserved.");
    }
}

}  // namespace

void ReviewStore::save(const ReviewDocument& document, const fs::path& url, std::optional<std::int64_t> expectedRevision) {
    if (document.schemaVersion < 1 || document.schemaVersion > ReviewDocument::currentSchema || document.revision < 0)
        throw PoseError(PoseErrorCode::invalidDocument, unsupportedSchemaMessage);
    ReviewDocument copy = document;
    copy.schemaVersion = ReviewDocument::currentSchema;
    PairReview::validate(copy);
    LeanReview::validate(copy);

    platform::ExclusiveLock lock(lockURL(url));  // released, then closed, on every way out
    if (!lock.isOpen()) throw PoseError(PoseErrorCode::lockFailed, cannotLockMessage);
    if (!lock.acquire()) throw PoseError(PoseErrorCode::lockFailed, cannotAcquireMessage);

    std::error_code ec;
    if (fs::exists(url, ec)) {
        // One read serves both the checks and the backup, so the backup holds exactly
        // the bytes that were checked.
        const std::string bytes = platform::readRegularFile(url);
        ReviewDocument saved = decode(bytes);
        if (!expectedRevision || saved.revision != *expectedRevision || saved.manifestHash != copy.manifestHash ||
            saved.reportHash != copy.reportHash)
            throw PoseError(PoseErrorCode::conflict, conflictMessage);
        validate(copy, saved);
        if (saved.schemaVersion < ReviewDocument::currentSchema) preserveLegacy(bytes, url, saved.schemaVersion);
    } else if (ec) {
        throw fs::filesystem_error("cannot inspect review file", url, ec);
    } else if (expectedRevision) {
        throw PoseError(PoseErrorCode::moved, movedMessage);
    }

    const std::string text = json::pretty(copy);
    platform::replaceFileDurably(url, platform::hiddenSibling(url, ".saving"), text);
}

}  // namespace torvane
