// The store that makes, loads, checks and safely saves review documents.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "Torvane/ReviewDocument.h"

namespace torvane {

// Makes, loads, checks and saves review documents. Holds no state.
struct ReviewStore {
    static constexpr const char* differentManifestMessage = "This results file belongs to a different manifest revision.";
    static constexpr const char* invalidDocumentMessage = "Unsupported or invalid review document; original file preserved.";
    static constexpr const char* invalidEditMessage = "Invalid saved joint correction.";
    static constexpr const char* differentEvidenceMessage = "Saved corrections belong to different source evidence.";
    static constexpr const char* differentFrameMessage =
        "Saved frame identity or raw evidence differs from the original analysis.";
    static constexpr const char* escapeMessage = "Source path escapes the session folder.";
    static constexpr const char* unsupportedSchemaMessage = "Unsupported review schema.";
    static constexpr const char* cannotLockMessage = "Cannot lock review file for saving.";
    static constexpr const char* cannotAcquireMessage = "Cannot acquire review save lock.";
    static constexpr const char* conflictMessage =
        "A newer or different review is already saved. Reopen it before editing; your unsaved changes remain in "
        "this window.";
    static constexpr const char* movedMessage = "The review file was moved or removed. Reopen the session before saving.";

    // Lower-case hexadecimal SHA-256 of the bytes.
    static std::string digest(std::string_view bytes);

    // "joint-review-" + the first 12 digits of the report's content hash + ".json", beside it.
    static std::filesystem::path documentURL(const std::filesystem::path& reportURL);

    // A fresh document, after proving the report was made from these manifest bytes and
    // that every photo is byte for byte the one analysed.
    static ReviewDocument make(const std::filesystem::path& manifestURL, const std::filesystem::path& reportURL);

    // Reads a saved document and refuses anything that cannot be trusted. Never writes.
    static ReviewDocument load(const std::filesystem::path& url);
    // The same checks over bytes already read.
    static ReviewDocument decode(std::string_view bytes);

    // Whether `document` still belongs to the evidence of `reference` (normally a fresh make).
    static void validate(const ReviewDocument& document, const ReviewDocument& reference);

    // A frame's photo inside the session folder of the manifest (symbolic links resolved).
    static std::filesystem::path assetURL(const std::string& file, const std::filesystem::path& manifestURL);

    // Saves under the lock file with a revision check, schema backups and an atomic,
    // durable replacement. Every refusal leaves the file as it was and the lock released.
    static void save(const ReviewDocument& document, const std::filesystem::path& url,
                     std::optional<std::int64_t> expectedRevision);

    // The document's path + ".schema" + N + "-backup".
    static std::filesystem::path legacyBackupURL(const std::filesystem::path& url, std::int64_t schema = 1);
    // The document's path + ".lock".
    static std::filesystem::path lockURL(const std::filesystem::path& url);
};

}  // namespace torvane
