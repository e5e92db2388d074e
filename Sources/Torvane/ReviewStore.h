// The store that makes, loads, checks and safely saves review documents.
#pragma once

#include <cstdint>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "Torvane/ReviewDocument.h"
#include "Torvane/platform/Env.h"

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
    static constexpr const char* staleRevisionMessage =
        "The review's revision must be higher than the saved revision. Raise it before saving; the saved review is "
        "unchanged.";
    // How long a save waits for another saver's lock before it gives up.
    static constexpr std::chrono::seconds lockPatience{10};
    static constexpr const char* movedMessage = "The review file was moved or removed. Reopen the session before saving.";

    // "joint-review-" + the first 12 digits of the report's content hash + ".json", beside it.
    static std::filesystem::path documentPath(const std::filesystem::path& reportPath);

    // A fresh document, after proving the report was made from these manifest bytes and
    // that every photo is byte for byte the one analysed.
    static ReviewDocument make(const std::filesystem::path& manifestPath, const std::filesystem::path& reportPath);

    // Reads a saved document and refuses anything that cannot be trusted. Never writes.
    static ReviewDocument load(const std::filesystem::path& path);
    // The same checks over bytes already read.
    static ReviewDocument decode(std::string_view bytes);

    // Whether `document` still belongs to the evidence of `reference` (normally a fresh make).
    static void validate(const ReviewDocument& document, const ReviewDocument& reference);

    // A frame's photo inside the session folder of the manifest (symbolic links resolved).
    static std::filesystem::path assetURL(const std::string& file, const std::filesystem::path& manifestPath);

    // Saves under the lock file with a revision check, schema backups and an atomic,
    // durable replacement. Every refusal leaves the file as it was and the lock released.
    // When another saver holds the lock, `waiting` is told once and the save waits at most
    // lockPatience before it refuses with cannotAcquireMessage. `env` makes the writes (tests pass
    // one that fails on purpose).
    static void save(const ReviewDocument& document, const std::filesystem::path& path,
                     std::optional<std::int64_t> expectedRevision, const std::function<void()>& waiting = {},
                     const platform::Env& env = platform::Env::system());
    static void save(const ReviewDocument& document, const std::filesystem::path& path,
                     std::optional<std::int64_t> expectedRevision, const platform::Env& env) {
        save(document, path, expectedRevision, {}, env);
    }

    // The document's path + ".schema" + N + "-backup".
    static std::filesystem::path legacyBackupURL(const std::filesystem::path& path, std::int64_t schema = 1);
    // The document's path + ".lock".
    static std::filesystem::path lockPath(const std::filesystem::path& path);
};

}  // namespace torvane
