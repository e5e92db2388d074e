// Session discovery: turns a data folder of session folders into sessions ready for review.
// It writes a manifest for a folder that holds only photos, finds a results file that still
// matches the manifest and the photos on disk, and runs the analysis where none matches.
// It never deletes, renames or overwrites anything, and a problem in one folder is reported
// and does not stop the others.
#pragma once

#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Torvane/SessionManifest.h"
#include "Torvane/platform/Env.h"

namespace torvane {

struct DiscoveredSession {
    std::string title;                  // the manifest's `session`
    std::filesystem::path manifestURL;  // the session's session.json
    std::filesystem::path resultsURL;   // the chosen results.json
    bool wasAnalyzed = false;           // produced by this run rather than found

    bool operator==(const DiscoveredSession&) const = default;
};

struct SessionDiscoveryFailure {
    std::filesystem::path folderURL;  // the data folder, or the session folder concerned
    std::string message;

    bool operator==(const SessionDiscoveryFailure&) const = default;
};

struct SessionDiscoveryReport {
    std::vector<DiscoveredSession> sessions;
    std::vector<SessionDiscoveryFailure> failures;

    bool operator==(const SessionDiscoveryReport&) const = default;
};

// Crop key ("A001-subject") to the content hash of the photo that rider is read from.
using SourceMap = std::map<std::string, std::string>;

struct SessionDiscovery {
    // Told the name of each session folder just before it is worked on.
    using Progress = std::function<void(const std::string& folderName)>;
    // Must create `outputDirectory` (which does not exist yet) and write results.json for
    // the manifest into it; may throw.
    using Analyze =
        std::function<void(const std::filesystem::path& manifestPath, const std::filesystem::path& outputDirectory)>;

    static constexpr std::array<std::string_view, 7> extensions = {"jpg", "jpeg", "png", "heic", "heif", "tif", "tiff"};
    static constexpr const char* unreviewedRiderName = "Subject \u2014 identity needs review";
    static constexpr const char* automaticProvenance =
        "Automatic folder import. Full-image crops are unreviewed; no ground-truth anatomical annotations or "
        "coaching judgments have been inferred.";
    static constexpr const char* automaticNote =
        "Automatically imported full image. Confirm the intended rider and crop; no anatomical annotations or "
        "identity verification are supplied.";
    static constexpr const char* missingDataFolderMessage = "The data folder is missing or unavailable.";
    static constexpr const char* unlistedPhotosMessage =
        " additional photo(s) are not listed in this session. Existing photo assignments were preserved; review the "
        "session manifest to include them.";
    static constexpr const char* incompleteAnalysisMessage =
        "Analysis did not produce a complete source-matched results file. The output has been preserved for "
        "inspection.";
    static constexpr const char* runFolderPrefix = "analysis-auto-";
    static constexpr const char* busyFolderMessage =
        "Another discovery run is working on this session folder now; it was skipped this time.";
    static constexpr const char* noListablePhotoMessage =
        "No photo in this folder has a name that is valid UTF-8 text, so no session.json was written. Rename the "
        "photos to include them.";
    // Kept in a run folder whose analysis failed in a way that repeats on the same bytes.
    static constexpr const char* failureRecordName = "analysis-failure.json";

    // The problem line for a photo left out of a new manifest because its name is not UTF-8.
    static std::string nonUTF8PhotoMessage(const std::string& name);

    // Walks `dataDirectory` and returns every usable session and every problem; never
    // throws. `knownResults` maps a manifest to the results file the application last used
    // for it; an empty `analyze` runs the feasibility runner, whose progress lines go to
    // `env`'s standard output. Run folders are named with `env`'s random UUIDs.
    static SessionDiscoveryReport run(const std::filesystem::path& dataDirectory,
                                      const std::map<std::filesystem::path, std::filesystem::path>& knownResults = {},
                                      const Progress& progress = {}, const Analyze& analyze = {},
                                      const platform::Env& env = platform::Env::system());

    // The operations below serve `run`; they are public so that they can be tested alone.

    // Whether a folder entry is a photo: a known extension (any case), and a regular file
    // that is not a symbolic link. Unreadable attributes mean no.
    static bool isPhotoFile(const std::filesystem::path& entry);

    // Writes a first session.json at `path` with one subject-only pair per photo, in the
    // given order, each cropped to the whole upright picture. Loads every photo first, so
    // nothing is written when one fails; never replaces an existing file.
    static void createManifest(const std::vector<std::filesystem::path>& photos, const std::filesystem::path& path,
                               const platform::Env& env = platform::Env::system());

    static std::string digest(std::string_view bytes);

    // The content hash of every rider's photo, by crop key; photo-path and read failures
    // propagate.
    static SourceMap sourceHashes(const SessionManifest& manifest, const std::filesystem::path& path);

    // Whether the results file is complete and was made from exactly this manifest and
    // these photos. Every problem answers false.
    static bool validReport(const std::filesystem::path& at, const std::string& manifestHash, const SourceMap& sources);

    // Picks one of the valid candidates: the known one if its joint review still fits,
    // else the one whose fitting review was saved last, else the first.
    static std::optional<std::filesystem::path> preferredReport(const std::vector<std::filesystem::path>& candidates,
                                                                const std::filesystem::path& manifestPath,
                                                                const std::optional<std::filesystem::path>& known);
};

}  // namespace torvane
