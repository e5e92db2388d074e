// A scripted analysis for the discovery tests and benchmarks: the runner's contract
// without a detector. Library code only, so that the benchmarks can use it too.
#pragma once

#include <filesystem>
#include <vector>

#include "Torvane/ContentHash.h"
#include "Torvane/FeasibilityReport.h"
#include "Torvane/Json.h"
#include "Torvane/SessionDiscovery.h"
#include "Torvane/SessionManifest.h"
#include "Torvane/platform/FileSystem.h"

namespace torvane::test {

// The report a complete run would write for the manifest as it is on disk now: one crop
// per rider with the hash of its photo, bound to the manifest's bytes.
inline FeasibilityReport matchingReport(const std::filesystem::path& manifestPath) {
    const auto manifest = SessionManifest::load(manifestPath);
    FeasibilityReport report;
    report.session = manifest.session;
    report.operatingSystem = "test";
    report.machineArchitecture = "test";
    report.generatedAt = "2026-01-01T00:00:00Z";
    report.annotationProvenance = manifest.annotationProvenance;
    report.manifestHash = contentHash(platform::readFile(manifestPath));
    for (const auto& pair : manifest.pairs)
        for (const auto& rider : pair.riders) {
            CropReport crop;
            crop.pairID = pair.id;
            crop.role = rider.role;
            crop.rider = rider.rider;
            crop.sourceHash = contentHashOfFile(SessionManifest::assetURL(pair, &rider, manifestPath));
            crop.crop = rider.crop;
            report.crops.push_back(crop);
        }
    return report;
}

// Creates the run folder and writes the matching report into it; counts its calls.
struct ScriptedAnalysis {
    int calls = 0;

    SessionDiscovery::Analyze callback() {
        return [this](const std::filesystem::path& manifestPath, const std::filesystem::path& output) {
            ++calls;
            std::filesystem::create_directory(output);
            platform::writeFileAtomically(output / "results.json", json::pretty(matchingReport(manifestPath)));
        };
    }
};

}  // namespace torvane::test
