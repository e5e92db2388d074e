// The library's one error type: the user-facing sentence and a code callers decide by.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Torvane/Enums.h"

namespace torvane {

// What kind of refusal an error is. Callers (the command line, the review desk, tests)
// branch on this, never on the wording.
enum class PoseErrorCode {
    invalidInput,        // a value or record the operation does not accept
    invalidManifest,     // a session manifest that fails its checks
    invalidDocument,     // a review document (or its pairs, lean data, edits) that cannot be trusted
    invalidCrop,         // a crop or panel outside the photo or not whole pixels
    unreadableImage,     // a photo that cannot be read, is too large, or cannot be oriented or cut
    changedEvidence,     // results, photos or frames differ from those a record was made from
    pathEscapes,         // a file path that leaves the session folder
    notFound,            // a named frame, pair, rider or annotation the document or manifest lacks
    conflict,            // a newer or different review is already saved
    moved,               // the review file was moved or removed since it was loaded
    lockFailed,          // the save lock cannot be opened or taken
    backupFailed,        // an older-schema review cannot be kept safely before it is replaced
    outputExists,        // a run folder that already exists
    writeFailed,         // an output file that cannot be made
    incompleteAnalysis,  // a fresh run whose results do not check out
};

// The code's name as written in code: "conflict", "lockFailed".
template <>
struct EnumTable<PoseErrorCode> {
    static constexpr EnumCase<PoseErrorCode> cases[] = {
        {PoseErrorCode::invalidInput, "invalidInput"},
        {PoseErrorCode::invalidManifest, "invalidManifest"},
        {PoseErrorCode::invalidDocument, "invalidDocument"},
        {PoseErrorCode::invalidCrop, "invalidCrop"},
        {PoseErrorCode::unreadableImage, "unreadableImage"},
        {PoseErrorCode::changedEvidence, "changedEvidence"},
        {PoseErrorCode::pathEscapes, "pathEscapes"},
        {PoseErrorCode::notFound, "notFound"},
        {PoseErrorCode::conflict, "conflict"},
        {PoseErrorCode::moved, "moved"},
        {PoseErrorCode::lockFailed, "lockFailed"},
        {PoseErrorCode::backupFailed, "backupFailed"},
        {PoseErrorCode::outputExists, "outputExists"},
        {PoseErrorCode::writeFailed, "writeFailed"},
        {PoseErrorCode::incompleteAnalysis, "incompleteAnalysis"}};
};

class PoseError : public std::runtime_error {
public:
    PoseError(PoseErrorCode code, const std::string& message)
        : std::runtime_error(message), code_(code), message_(message) {}
    static PoseError invalidInput(const std::string& message) { return {PoseErrorCode::invalidInput, message}; }

    PoseErrorCode code() const { return code_; }
    const std::string& message() const { return message_; }

private:
    PoseErrorCode code_;
    std::string message_;
};

// Describes any caught error the way the library shows failures: a PoseError by its
// message, anything else by its own description.
std::string describeError(const std::exception& error);

}  // namespace torvane
