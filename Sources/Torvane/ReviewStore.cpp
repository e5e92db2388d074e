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

fs::path withSuffix(const fs::path& path, const std::string& suffix) {
    fs::path out = path;
    out += suffix;
    return out;
}

}  // namespace

fs::path ReviewStore::documentPath(const fs::path& reportPath) {
    return reportPath.parent_path() / ("joint-review-" + contentHashOfFile(reportPath).substr(0, 12) + ".json");
}

ReviewDocument ReviewStore::make(const fs::path& manifestPath, const fs::path& reportPath) {
    // Each file is read once: the hashes belong to exactly the text that was checked.
    std::string manifestBytes, reportBytes;
    SessionManifest manifest = SessionManifest::load(manifestPath, &manifestBytes);
    auto report = json::decodeFile<FeasibilityReport>(reportPath, platform::recordFileLimit, &reportBytes);
    const std::string manifestHash = contentHash(manifestBytes);
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
            ImageProbe photo = ImageInput::probe(SessionManifest::assetURL(pair, &rider, manifestPath));
            if (photo.sha256 != *crop->sourceHash)
                throw PoseError(PoseErrorCode::changedEvidence, "Source image changed: " + pair.id + " " + rider.role + ".");
            rider.panel.validate(photo.width, photo.height);
            frames.emplace_back(pair.id + "-" + rider.role, pair.id, rider.role, rider.rider,
                                rider.file.value_or(pair.file), *crop->sourceHash, rider.panel, crop->threeD,
                                crop->twoD);
        }
    }
    return ReviewDocument(manifestHash, contentHash(reportBytes), std::move(frames));
}

namespace {

// What load refuses beyond the JSON shape. Save runs the same checks, so it never writes a
// document that load would refuse and that would then block every later save.
void checkLoadable(const ReviewDocument& document) {
    std::set<std::string> ids;
    bool duplicate = false;
    for (const auto& frame : document.frames) duplicate = duplicate || !ids.insert(frame.id).second;
    if (document.schemaVersion < 1 || document.schemaVersion > ReviewDocument::currentSchema || document.revision < 0 ||
        duplicate)
        throw PoseError(PoseErrorCode::invalidDocument, ReviewStore::invalidDocumentMessage);
    PairReview::validate(document);
    LeanReview::validate(document);
    for (const auto& frame : document.frames)
        for (const auto& [joint, edit] : frame.edits)
            if (!frame.admits(joint, edit)) throw PoseError(PoseErrorCode::invalidDocument, ReviewStore::invalidEditMessage);
}

}  // namespace

ReviewDocument ReviewStore::decode(std::string_view bytes) {
    auto document = json::decodeText<ReviewDocument>(bytes);
    checkLoadable(document);
    return document;
}

ReviewDocument ReviewStore::load(const fs::path& path) {
    const std::string bytes = platform::readRegularFile(path);
    try {
        return decode(bytes);
    } catch (const DecodingError& e) {
        throw json::inFile(e, path);
    }
}

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

fs::path ReviewStore::assetURL(const std::string& file, const fs::path& manifestPath) {
    const std::string folder = platform::canonicalPath(fs::absolute(manifestPath).parent_path()).string();
    if (file.empty() || file.front() == '/') throw PoseError(PoseErrorCode::pathEscapes, escapeMessage);
    const fs::path resolved = platform::canonicalPath(fs::path(folder) / file);
    const std::string prefix = folder == "/" ? folder : folder + "/";
    if (resolved.string().rfind(prefix, 0) != 0) throw PoseError(PoseErrorCode::pathEscapes, escapeMessage);
    return resolved;
}

fs::path ReviewStore::legacyBackupURL(const fs::path& path, std::int64_t schema) {
    return withSuffix(path, ".schema" + std::to_string(schema) + "-backup");
}

fs::path ReviewStore::lockPath(const fs::path& path) { return withSuffix(path, ".lock"); }

namespace {

// Keeps the exact bytes of an older-schema document before it is replaced.
void preserveLegacy(const std::string& bytes, const fs::path& path, std::int64_t schema, const platform::Env& env) {
    const std::string n = std::to_string(schema);
    switch (platform::preserveExclusively(ReviewStore::legacyBackupURL(path, schema), bytes, env)) {
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

void ReviewStore::save(const ReviewDocument& document, const fs::path& path, std::optional<std::int64_t> expectedRevision,
                       const std::function<void()>& waiting, const platform::Env& env) {
    if (document.schemaVersion < 1 || document.schemaVersion > ReviewDocument::currentSchema || document.revision < 0)
        throw PoseError(PoseErrorCode::invalidDocument, unsupportedSchemaMessage);
    ReviewDocument copy = document;
    copy.schemaVersion = ReviewDocument::currentSchema;
    checkLoadable(copy);

    platform::ExclusiveLock lock(lockPath(path));  // released, then closed, on every way out
    if (!lock.isOpen()) throw PoseError(PoseErrorCode::lockFailed, cannotLockMessage);
    // A stuck process holding the lock must not hold this save for ever.
    if (!lock.acquire(lockPatience, waiting)) throw PoseError(PoseErrorCode::lockFailed, cannotAcquireMessage);

    std::error_code ec;
    if (fs::exists(path, ec)) {
        // One read serves both the checks and the backup, so the backup holds exactly
        // the bytes that were checked.
        const std::string bytes = platform::readRegularFile(path);
        ReviewDocument saved = decode(bytes);
        if (!expectedRevision || saved.revision != *expectedRevision || saved.manifestHash != copy.manifestHash ||
            saved.reportHash != copy.reportHash)
            throw PoseError(PoseErrorCode::conflict, conflictMessage);
        validate(copy, saved);
        // Two editors who loaded the same revision cannot both save it: the second would
        // silently replace the first one's work. Nor may a save go backwards.
        if (copy.revision <= saved.revision) throw PoseError(PoseErrorCode::conflict, staleRevisionMessage);
        if (saved.schemaVersion < ReviewDocument::currentSchema) preserveLegacy(bytes, path, saved.schemaVersion, env);
    } else if (ec) {
        throw fs::filesystem_error("cannot inspect review file", path, ec);
    } else if (expectedRevision) {
        throw PoseError(PoseErrorCode::moved, movedMessage);
    }

    const std::string text = json::pretty(copy);
    platform::replaceFileDurably(path, platform::hiddenSibling(path, ".saving"), text, env);
}

}  // namespace torvane
