#include "Torvane/SessionDiscovery.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <system_error>
#include <utility>

#include "Torvane/ContentHash.h"
#include "Torvane/FeasibilityReport.h"
#include "Torvane/FeasibilityRunner.h"
#include "Torvane/ImageInput.h"
#include "Torvane/Json.h"
#include "Torvane/ReviewStore.h"
#include "Torvane/platform/FileSystem.h"

namespace torvane {

namespace fs = std::filesystem;

namespace {

std::string cropKey(const std::string& pairID, const std::string& role) { return pairID + "-" + role; }

std::string lowerASCII(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// A discovery failure never escapes: whatever was thrown becomes the folder's message.
template <class Work>
bool guarded(SessionDiscoveryReport& report, const fs::path& folder, Work&& work) {
    try {
        work();
        return true;
    } catch (const std::exception& e) {
        report.failures.push_back({folder, describeError(e)});
    } catch (...) {
        report.failures.push_back({folder, "An unknown error occurred."});
    }
    return false;
}

// Resolved for comparison; a path that cannot be resolved stays as given, made absolute,
// so that resolving never makes the run fail.
fs::path resolved(const fs::path& path) {
    try {
        return platform::canonicalPath(path);
    } catch (const fs::filesystem_error&) {
    }
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    return (error ? path : absolute).lexically_normal();
}

// The runner, its progress lines going to standard output.
SessionDiscovery::Analyze feasibilityRun(const platform::Env& env) {
    return [&env](const fs::path& manifestPath, const fs::path& outputDirectory) {
        FeasibilityRunner::run(
            manifestPath, outputDirectory, {}, [&env](const std::string& line) { env.writeOutput(line + "\n"); }, env);
    };
}

// Whether the joint review saved beside a candidate loads and still belongs to the evidence
// of a document made fresh from the manifest and that candidate.
bool hasUsableReview(const fs::path& review, const fs::path& manifestPath, const fs::path& candidate) {
    try {
        const auto saved = ReviewStore::load(review);
        ReviewStore::validate(saved, ReviewStore::make(manifestPath, candidate));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

struct Candidate {
    fs::path results;
    fs::file_time_type reviewTime;
};

// The photo files of a session folder, sorted by name.
std::vector<fs::path> photoFiles(const fs::path& folder) {
    std::vector<fs::path> photos;
    for (const auto& name : platform::listFolder(folder))
        if (SessionDiscovery::isPhotoFile(folder / name)) photos.push_back(folder / name);
    return photos;
}

std::size_t unlistedPhotoCount(const SessionManifest& manifest, const fs::path& manifestPath,
                               const std::vector<fs::path>& photos) {
    std::set<fs::path> listed;
    for (const auto& pair : manifest.pairs)
        for (const auto& rider : pair.riders)
            listed.insert(SessionManifest::assetURL(pair, &rider, manifestPath).lexically_normal());
    return static_cast<std::size_t>(std::count_if(photos.begin(), photos.end(), [&](const fs::path& photo) {
        return !listed.count(photo.lexically_normal());
    }));
}

// The folder's own results.json, then one per real sub-folder in name order.
std::vector<fs::path> localCandidates(const fs::path& folder) {
    std::vector<fs::path> candidates{folder / "results.json"};
    for (const auto& name : platform::listFolder(folder)) {
        auto attributes = platform::entryAttributes(folder / name);
        if (attributes.isDirectory && !attributes.isSymbolicLink) candidates.push_back(folder / name / "results.json");
    }
    return candidates;
}

// A failed analysis, remembered beside its output so that the same bytes are not
// analysed again and again into new run folders.
struct FailureRecord {
    std::string manifestHash;
    SourceMap sources;
    std::string message;
    template <class V> void fields(V& v) { v("manifestHash", manifestHash); v("message", message); v("sources", sources); }
};

// Library refusals repeat on the same input; file-system trouble (a full disk) may not.
bool repeats(const std::exception& e) {
    // A run folder that was already there is not ours to write into, and says nothing
    // about the bytes: the next run tries again under a new name.
    if (auto* error = dynamic_cast<const PoseError*>(&e)) return error->code() != PoseErrorCode::outputExists;
    return dynamic_cast<const EncodingError*>(&e) || dynamic_cast<const DecodingError*>(&e);
}

void recordFailure(const fs::path& output, const std::string& manifestHash, const SourceMap& sources,
                   const std::string& message, const platform::Env& env) {
    try {
        if (!platform::entryAttributes(output).isDirectory) return;  // nothing made, nothing piles up
        platform::createFileExclusively(output / SessionDiscovery::failureRecordName,
                                        json::pretty(FailureRecord{manifestHash, sources, message}), env);
    } catch (const std::exception&) {
        // Best effort: without the record the next run simply tries again.
    }
}

// The message of an earlier run folder's failure on exactly this manifest and these photos.
std::optional<std::string> recordedFailure(const fs::path& folder, const std::string& manifestHash,
                                           const SourceMap& sources) {
    for (const auto& name : platform::listFolder(folder)) {
        if (name.rfind(SessionDiscovery::runFolderPrefix, 0) != 0) continue;
        const fs::path file = folder / name / SessionDiscovery::failureRecordName;
        if (!platform::entryExists(file)) continue;
        try {
            const auto record = json::decodeFile<FailureRecord>(file, platform::recordFileLimit);
            if (record.manifestHash == manifestHash && record.sources == sources)
                return record.message + " This failure was recorded in \"" + platform::printable(name) +
                       "\" for the same manifest and photos; the session is analysed again once one of them changes.";
        } catch (const std::exception&) {
        }
    }
    return std::nullopt;
}

// Why a results file of this manifest lacks riders: each rider that failed before detection
// with its error. Nothing when the file is unusable or incomplete for another reason.
std::optional<std::string> riderFailures(const fs::path& results, const std::string& manifestHash,
                                         const SessionManifest& manifest, const fs::path& manifestPath) {
    FeasibilityReport report;
    try {
        report = json::decodeFile<FeasibilityReport>(results, platform::recordFileLimit);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (report.manifestHash != manifestHash) return std::nullopt;
    std::string reasons;
    for (const auto& crop : report.crops) {
        if (crop.sourceHash) continue;
        if (!crop.error) return std::nullopt;
        std::string error = *crop.error;
        for (const auto& pair : manifest.pairs)
            if (const RiderInput* rider = pair.id == crop.pairID ? pair.rider(crop.role) : nullptr;
                rider && error == ImageInput::unreadableMessage)
                error = ImageInput::namedFailure(SessionManifest::assetURL(pair, rider, manifestPath));
        reasons += (reasons.empty() ? "" : " ") + crop.pairID + " " + crop.role + ": " + error;
    }
    if (reasons.empty()) return std::nullopt;
    return reasons;
}

// A results file is opened through its page: a run killed between writing results.json and
// index.html gets the page written now, from the results, never over an existing one.
void completePage(SessionDiscoveryReport& report, const fs::path& folder, const fs::path& results,
                  const platform::Env& env) {
    const fs::path page = results.parent_path() / "index.html";
    if (platform::entryExists(page)) return;
    try {
        const auto written = json::decodeFile<FeasibilityReport>(results, platform::recordFileLimit);
        platform::createFileExclusively(page, FeasibilityRunner::html(written), env);
    } catch (const fs::filesystem_error& e) {
        if (e.code() == std::errc::file_exists) return;  // another run wrote it meanwhile
        report.failures.push_back({folder, std::string("The missing inspection page could not be written. ") + e.what()});
    } catch (const std::exception& e) {
        report.failures.push_back({folder, std::string("The missing inspection page could not be written. ") + e.what()});
    }
}

// A first manifest for a folder of photos. Photos whose names are not UTF-8 cannot be named
// in JSON text: they are left out, each with a problem line. Losing the race to another
// writer is fine: the manifest that won is used.
void writeFirstManifest(SessionDiscoveryReport& report, const fs::path& folder, const std::vector<fs::path>& photos,
                        const fs::path& manifestPath, const platform::Env& env) {
    std::vector<fs::path> listable;
    for (const auto& photo : photos) {
        if (platform::isValidUTF8(photo.filename().string()))
            listable.push_back(photo);
        else
            report.failures.push_back({folder, SessionDiscovery::nonUTF8PhotoMessage(photo.filename().string())});
    }
    if (listable.empty()) throw PoseError::invalidInput(SessionDiscovery::noListablePhotoMessage);
    try {
        SessionDiscovery::createManifest(listable, manifestPath, env);
    } catch (const fs::filesystem_error& e) {
        if (e.code() != std::errc::file_exists) throw;
    }
}

}  // namespace

std::string SessionDiscovery::digest(std::string_view bytes) { return contentHash(bytes); }

bool SessionDiscovery::isPhotoFile(const fs::path& entry) {
    const std::string extension = entry.extension().string();
    if (extension.size() < 2) return false;
    const std::string lower = lowerASCII(extension.substr(1));
    if (std::find(extensions.begin(), extensions.end(), lower) == extensions.end()) return false;
    try {
        auto attributes = platform::entryAttributes(entry);
        return attributes.isRegularFile && !attributes.isSymbolicLink;
    } catch (const fs::filesystem_error&) {
        return false;
    }
}

void SessionDiscovery::createManifest(const std::vector<fs::path>& photos, const fs::path& path,
                                      const platform::Env& env) {
    for (const auto& photo : photos)
        if (!platform::isValidUTF8(photo.filename().string()))
            throw PoseError::invalidInput(nonUTF8PhotoMessage(photo.filename().string()));
    SessionManifest manifest;
    manifest.schemaVersion = 1;
    // The title is text for people; a folder name that is not UTF-8 is shown escaped.
    manifest.session = platform::printable(path.parent_path().filename().string());
    manifest.annotationProvenance = automaticProvenance;
    for (std::size_t i = 0; i < photos.size(); ++i) {
        // Decoding gives the upright size; the image itself is dropped at once.
        const auto input = ImageInput::loadNamingFile(photos[i]);
        const PixelRect whole{0, 0, static_cast<double>(input.width()), static_cast<double>(input.height())};
        RiderInput rider{"subject", unreviewedRiderName, std::nullopt, whole, whole, {}, std::nullopt, automaticNote};
        char id[32];
        std::snprintf(id, sizeof id, "A%03zu", i + 1);
        manifest.pairs.push_back(PairInput{id, photos[i].filename().string(), {std::move(rider)}});
    }
    // Manifests are never replaced, so one that did not load again would break the folder
    // for good: the text is checked before it is written.
    const std::string text = json::pretty(manifest);
    if (json::decodeText<SessionManifest>(text) != manifest)
        throw PoseError::invalidInput("The new session.json would not read back as written; nothing was written.");
    platform::createFileExclusively(path, text, env);
}

std::string SessionDiscovery::nonUTF8PhotoMessage(const std::string& name) {
    return "Photo \"" + platform::printable(name) +
           "\" was left out of the new session.json: its name is not valid UTF-8 text. Rename it and add it to the "
           "manifest to include it.";
}

SourceMap SessionDiscovery::sourceHashes(const SessionManifest& manifest, const fs::path& path) {
    SourceMap sources;
    for (const auto& pair : manifest.pairs)
        for (const auto& rider : pair.riders)
            sources[cropKey(pair.id, rider.role)] = contentHashOfFile(SessionManifest::assetURL(pair, &rider, path));
    return sources;
}

bool SessionDiscovery::validReport(const fs::path& at, const std::string& manifestHash, const SourceMap& sources) {
    FeasibilityReport report;
    try {
        report = json::decodeFile<FeasibilityReport>(at, platform::recordFileLimit);
    } catch (const std::exception&) {
        return false;
    }
    if (report.schemaVersion != 1 || report.manifestHash != manifestHash) return false;
    if (report.crops.size() != sources.size()) return false;
    std::set<std::string> keys;
    for (const auto& crop : report.crops) {
        const std::string key = cropKey(crop.pairID, crop.role);
        if (!keys.insert(key).second) return false;
        auto source = sources.find(key);
        if (source == sources.end() || !crop.sourceHash || *crop.sourceHash != source->second) return false;
    }
    return true;
}

std::optional<fs::path> SessionDiscovery::preferredReport(const std::vector<fs::path>& candidates,
                                                          const fs::path& manifestPath,
                                                          const std::optional<fs::path>& known) {
    if (candidates.empty()) return std::nullopt;
    // Reviews only decide between different files, and checking one means decoding every
    // photo of the session: with a single distinct candidate (the usual rescan) the answer
    // is that candidate whatever its review says.
    if (std::all_of(candidates.begin(), candidates.end(), [&](const fs::path& c) { return c == candidates.front(); }))
        return candidates.front();
    std::vector<Candidate> reviewed;
    for (const auto& candidate : candidates) {
        fs::path review;
        try {
            review = ReviewStore::documentPath(candidate);  // named after the candidate's bytes
        } catch (const std::exception&) {
            continue;
        }
        if (!hasUsableReview(review, manifestPath, candidate)) continue;
        if (known && *known == candidate) return candidate;
        std::error_code error;
        auto time = fs::last_write_time(review, error);
        reviewed.push_back({candidate, error ? fs::file_time_type::min() : time});
    }
    if (!reviewed.empty()) {
        std::stable_sort(reviewed.begin(), reviewed.end(), [](const Candidate& a, const Candidate& b) {
            if (a.reviewTime != b.reviewTime) return a.reviewTime > b.reviewTime;
            return a.results.string() < b.results.string();
        });
        return reviewed.front().results;
    }
    return candidates.front();
}

SessionDiscoveryReport SessionDiscovery::run(const fs::path& dataDirectory, const std::map<fs::path, fs::path>& knownResults,
                                             const Progress& progress, const Analyze& analyze,
                                             const platform::Env& env) {
    SessionDiscoveryReport report;
    const fs::path root = resolved(dataDirectory);

    // Later keys that resolve to the same manifest replace earlier ones, in path-text order.
    std::vector<std::pair<fs::path, fs::path>> entries(knownResults.begin(), knownResults.end());
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.first.string() < b.first.string(); });
    std::map<fs::path, fs::path> known;
    for (const auto& [manifest, results] : entries) known[resolved(manifest)] = resolved(results);

    if (!platform::entryExists(root)) {
        report.failures.push_back({root, missingDataFolderMessage});
        return report;
    }
    std::vector<std::string> names;
    if (!guarded(report, root, [&] { names = platform::listFolder(root); })) return report;

    const Analyze analysis = analyze ? analyze : feasibilityRun(env);
    for (const auto& name : names) {
        const fs::path folder = root / name;
        guarded(report, folder, [&] {
            auto attributes = platform::entryAttributes(folder);
            if (!attributes.isDirectory || attributes.isSymbolicLink) return;
            const fs::path manifestPath = folder / "session.json";
            const auto photos = photoFiles(folder);
            if (!platform::entryExists(manifestPath) && photos.empty()) return;

            // One discovery at a time per session folder: another run that holds it is
            // writing its manifest or analysing it now, and doing the same again here would
            // only make a second run folder.
            platform::FolderLock lock(folder);
            if (!lock.held()) throw PoseError(PoseErrorCode::lockFailed, busyFolderMessage);

            if (progress) progress(name);
            if (!platform::entryExists(manifestPath)) writeFirstManifest(report, folder, photos, manifestPath, env);
            std::string manifestBytes;
            const auto manifest = SessionManifest::load(manifestPath, &manifestBytes);

            if (auto unlisted = unlistedPhotoCount(manifest, manifestPath, photos))
                report.failures.push_back({folder, std::to_string(unlisted) + unlistedPhotosMessage});

            const SourceMap sources = sourceHashes(manifest, manifestPath);
            const std::string manifestHash = digest(manifestBytes);  // what was parsed, not a second read

            std::optional<fs::path> knownResult;
            if (auto it = known.find(resolved(manifestPath)); it != known.end()) knownResult = it->second;
            std::vector<fs::path> candidates;
            if (knownResult) candidates.push_back(*knownResult);
            for (auto& candidate : localCandidates(folder)) candidates.push_back(std::move(candidate));

            std::vector<fs::path> valid;
            for (const auto& candidate : candidates)
                if (validReport(candidate, manifestHash, sources)) valid.push_back(candidate);

            if (auto chosen = preferredReport(valid, manifestPath, knownResult)) {
                completePage(report, folder, *chosen, env);
                report.sessions.push_back({manifest.session, manifestPath, *chosen, false});
                return;
            }

            // An analysis that failed for good on these very bytes is not run again.
            if (auto failed = recordedFailure(folder, manifestHash, sources)) throw PoseError(PoseErrorCode::incompleteAnalysis, *failed);

            const fs::path output = folder / (runFolderPrefix + env.randomUUID());
            try {
                analysis(manifestPath, output);
            } catch (const std::exception& e) {
                if (repeats(e)) recordFailure(output, manifestHash, sources, describeError(e), env);
                throw;
            }
            if (!validReport(output / "results.json", manifestHash, sources)) {
                std::string message = incompleteAnalysisMessage;
                if (auto reasons = riderFailures(output / "results.json", manifestHash, manifest, manifestPath)) {
                    message += " " + *reasons;
                    recordFailure(output, manifestHash, sources, message, env);
                }
                throw PoseError(PoseErrorCode::incompleteAnalysis, message);
            }
            completePage(report, folder, output / "results.json", env);
            report.sessions.push_back({manifest.session, manifestPath, output / "results.json", true});
        });
    }
    return report;
}

}  // namespace torvane
