#include "Torvane/PoseError.h"

namespace torvane {

std::string_view name(PoseErrorCode code) {
    switch (code) {
        case PoseErrorCode::invalidInput: return "invalidInput";
        case PoseErrorCode::invalidManifest: return "invalidManifest";
        case PoseErrorCode::invalidDocument: return "invalidDocument";
        case PoseErrorCode::invalidCrop: return "invalidCrop";
        case PoseErrorCode::unreadableImage: return "unreadableImage";
        case PoseErrorCode::changedEvidence: return "changedEvidence";
        case PoseErrorCode::pathEscapes: return "pathEscapes";
        case PoseErrorCode::notFound: return "notFound";
        case PoseErrorCode::conflict: return "conflict";
        case PoseErrorCode::moved: return "moved";
        case PoseErrorCode::lockFailed: return "lockFailed";
        case PoseErrorCode::backupFailed: return "backupFailed";
        case PoseErrorCode::outputExists: return "outputExists";
        case PoseErrorCode::writeFailed: return "writeFailed";
        case PoseErrorCode::incompleteAnalysis: return "incompleteAnalysis";
    }
    return {};
}

std::string describeError(const std::exception& error) { return error.what(); }

}  // namespace torvane
