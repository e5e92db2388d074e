#include "Torvane/SessionDiscovery.h"

#include <algorithm>
#include <cstdio>
#include <set>
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

void runFeasibility(const fs::path& manifestURL, const fs::path& outputDirectory) {
    FeasibilityRunner::run(manifestURL, outputDirectory);
}

// Whether the joint review saved beside a candidate loads and still belongs to the evidence
// of a document made fresh from the manifest and that candidate.
bool hasUsableReview(const fs::path& review, const fs::path& manifestURL, const fs::path& candidate) {
    try {
        const auto saved = ReviewStore::load(review);
        ReviewStore::validate(saved, ReviewStore::make(manifestURL, candidate));
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

std::size_t unlistedPhotoCount(const SessionManifest& manifest, const fs::path& manifestURL,
                               const std::vector<fs::path>& photos) {
    std::set<fs::path> listed;
    for (const auto& pair : manifest.pairs)
        for (const auto& rider : pair.riders)
            listed.insert(SessionManifest::assetURL(pair, &rider, manifestURL).lexically_normal());
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

void SessionDiscovery::createManifest(const std::vector<fs::path>& photos, const fs::path& url) {
    SessionManifest manifest;
    manifest.schemaVersion = 1;
    manifest.session = url.parent_path().filename().string();
    manifest.annotationProvenance = automaticProvenance;
    for (std::size_t i = 0; i < photos.size(); ++i) {
        // Decoding gives the upright size; the image itself is dropped at once.
        const auto input = ImageInput::load(photos[i]);
        const PixelRect whole{0, 0, static_cast<double>(input.width()), static_cast<double>(input.height())};
        RiderInput rider{"subject", unreviewedRiderName, std::nullopt, whole, whole, {}, std::nullopt, automaticNote};
        char id[32];
        std::snprintf(id, sizeof id, "A%03zu", i + 1);
        manifest.pairs.push_back(PairInput{id, photos[i].filename().string(), {std::move(rider)}});
    }
    platform::createFileExclusively(url, json::pretty(manifest));
}

SourceMap SessionDiscovery::sourceHashes(const SessionManifest& manifest, const fs::path& url) {
    SourceMap sources;
    for (const auto& pair : manifest.pairs)
        for (const auto& rider : pair.riders)
            sources[cropKey(pair.id, rider.role)] = contentHashOfFile(SessionManifest::assetURL(pair, &rider, url));
    return sources;
}

bool SessionDiscovery::validReport(const fs::path& at, const std::string& manifestHash, const SourceMap& sources) {
    FeasibilityReport report;
    try {
        report = json::decodeText<FeasibilityReport>(platform::readFile(at));
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
                                                          const fs::path& manifestURL,
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
            review = ReviewStore::documentURL(candidate);  // named after the candidate's bytes
        } catch (const std::exception&) {
            continue;
        }
        if (!hasUsableReview(review, manifestURL, candidate)) continue;
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
                                             const Progress& progress, const Analyze& analyze) {
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

    const Analyze analysis = analyze ? analyze : Analyze(runFeasibility);
    for (const auto& name : names) {
        const fs::path folder = root / name;
        guarded(report, folder, [&] {
            auto attributes = platform::entryAttributes(folder);
            if (!attributes.isDirectory || attributes.isSymbolicLink) return;
            const fs::path manifestURL = folder / "session.json";
            const auto photos = photoFiles(folder);
            const bool hasManifest = platform::entryExists(manifestURL);
            if (!hasManifest && photos.empty()) return;

            if (progress) progress(name);
            if (!hasManifest) createManifest(photos, manifestURL);
            const auto manifest = SessionManifest::load(manifestURL);

            if (auto unlisted = unlistedPhotoCount(manifest, manifestURL, photos))
                report.failures.push_back({folder, std::to_string(unlisted) + unlistedPhotosMessage});

            const SourceMap sources = sourceHashes(manifest, manifestURL);
            const std::string manifestHash = digest(platform::readFile(manifestURL));

            std::optional<fs::path> knownResult;
            if (auto it = known.find(resolved(manifestURL)); it != known.end()) knownResult = it->second;
            std::vector<fs::path> candidates;
            if (knownResult) candidates.push_back(*knownResult);
            for (auto& candidate : localCandidates(folder)) candidates.push_back(std::move(candidate));

            std::vector<fs::path> valid;
            for (const auto& candidate : candidates)
                if (validReport(candidate, manifestHash, sources)) valid.push_back(candidate);

            if (auto chosen = preferredReport(valid, manifestURL, knownResult)) {
                report.sessions.push_back({manifest.session, manifestURL, *chosen, false});
                return;
            }

            const fs::path output = folder / (runFolderPrefix + randomUUID());
            analysis(manifestURL, output);
            if (!validReport(output / "results.json", manifestHash, sources))
                throw PoseError(PoseErrorCode::incompleteAnalysis, incompleteAnalysisMessage);
            report.sessions.push_back({manifest.session, manifestURL, output / "results.json", true});
        });
    }
    return report;
}

}  // namespace torvane
