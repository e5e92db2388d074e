// Real folders, real photos and a scripted analysis for the discovery tests and benchmarks.
#pragma once

#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Torvane/ContentHash.h"
#include "Torvane/FeasibilityReport.h"
#include "Torvane/Json.h"
#include "Torvane/SessionDiscovery.h"
#include "Torvane/SessionManifest.h"
#include "Torvane/platform/FileSystem.h"
#include "Torvane/platform/VipsImage.h"

namespace torvane::testing {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with everything in it.
class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (fs::temp_directory_path() / "torvane-discovery-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = platform::canonicalPath(pattern);
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const fs::path& path() const { return path_; }
    fs::path operator/(const fs::path& name) const { return path_ / name; }

private:
    fs::path path_;
};

// Writes a small photo in the format its extension names (PNG, TIFF or JPEG). `shade`
// varies the pixels so that different shades give different bytes. An EXIF orientation
// other than 1 is stored for JPEGs.
inline void writePhoto(const fs::path& file, int width, int height, int shade, int orientation = 1) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<std::uint8_t>((i * 7 + shade * 31) % 251);
    auto raster = platform::Raster::fromRGB(width, height, rgb.data());
    VipsImage* image = nullptr;
    if (vips_copy(raster.impl()->image, &image, nullptr)) throw std::runtime_error("vips_copy failed");
    if (orientation != 1) vips_image_set_int(image, "orientation", orientation);
    std::string extension = file.extension().string();
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    int failed = 0;
    if (extension == ".png")
        failed = vips_pngsave(image, file.c_str(), nullptr);
    else if (extension == ".tif" || extension == ".tiff")
        failed = vips_tiffsave(image, file.c_str(), nullptr);
    else
        failed = vips_jpegsave(image, file.c_str(), "Q", 90, nullptr);
    g_object_unref(image);
    if (failed) throw std::runtime_error("cannot write test photo " + file.string() + ": " + vips_error_buffer());
}

inline void writeText(const fs::path& file, const std::string& text) { platform::writeFileAtomically(file, text); }

inline std::string readText(const fs::path& file) { return platform::readFile(file); }

// The report a complete run would write for the manifest as it is on disk now: one crop
// per rider with the hash of its photo, bound to the manifest's bytes.
inline FeasibilityReport matchingReport(const fs::path& manifestURL) {
    const auto manifest = SessionManifest::load(manifestURL);
    FeasibilityReport report;
    report.session = manifest.session;
    report.operatingSystem = "test";
    report.machineArchitecture = "test";
    report.generatedAt = "2026-01-01T00:00:00Z";
    report.annotationProvenance = manifest.annotationProvenance;
    report.manifestHash = contentHash(platform::readFile(manifestURL));
    for (const auto& pair : manifest.pairs)
        for (const auto& rider : pair.riders) {
            CropReport crop;
            crop.pairID = pair.id;
            crop.role = rider.role;
            crop.rider = rider.rider;
            crop.sourceHash = contentHashOfFile(SessionManifest::assetURL(pair, &rider, manifestURL));
            crop.crop = rider.crop;
            report.crops.push_back(crop);
        }
    return report;
}

// An analysis that behaves like the runner's contract without any detector: it creates the
// run folder and writes the matching report. Counts its calls.
struct ScriptedAnalysis {
    int calls = 0;
    std::vector<fs::path> outputs;

    SessionDiscovery::Analyze callback() {
        return [this](const fs::path& manifestURL, const fs::path& output) {
            ++calls;
            outputs.push_back(output);
            fs::create_directory(output);
            writeText(output / "results.json", json::pretty(matchingReport(manifestURL)));
        };
    }
};

// Runs a command line through the shell; returns its exit status and fills `output` with
// what it wrote on standard output.
inline int runCommand(const std::string& command, std::string& output) {
    output.clear();
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("popen failed");
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace torvane::testing
