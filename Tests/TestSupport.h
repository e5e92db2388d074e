// Everything the tests share, in one namespace: scratch folders, real files, generated
// photos, running the built command line, review documents in memory and sessions on disk,
// and the scripted analysis (the benchmarks use that one too).
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "Torvane/ContentHash.h"
#include "Torvane/FeasibilityReport.h"
#include "Torvane/Json.h"
#include "Torvane/LeanReview.h"
#include "Torvane/PairReview.h"
#include "Torvane/ReviewStore.h"
#include "Torvane/SessionDiscovery.h"
#include "Torvane/SessionManifest.h"
#include "Torvane/platform/FileSystem.h"
#include "Torvane/platform/Raster.h"

namespace torvane::test {

namespace fs = std::filesystem;

// ---- Files and processes

// A fresh folder under the system temp folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

void writeText(const fs::path& file, std::string_view text);
std::string readText(const fs::path& file);
inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
// The names in a folder (not below it).
std::set<std::string> namesIn(const fs::path& folder);
// The run folders discovery made in a session folder.
std::vector<fs::path> runFolders(const fs::path& session);

// Writes a synthetic photo (a smooth gradient, so every pixel differs from its
// neighbours) in the format its extension names: .jpg, .png, .tif, .heic. A JPEG may carry
// an EXIF orientation tag; a TIFF may have several pages (later pages have other sizes).
void writePhoto(const fs::path& file, int width, int height, int orientation = 1, int pages = 1);

// A sample photo installed by setup.
fs::path samplePhoto(const std::string& name);

// Rasters made in memory, for the drawing tests: every pixel differs from its neighbours,
// or one grey.
platform::Raster patternPhoto(int width, int height);
platform::Raster plainPhoto(int width, int height, std::uint8_t grey);
// RGB of one pixel.
std::vector<int> rgbAt(const platform::Raster& raster, int x, int y);

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the built torvane command with the arguments; stdin is empty. With a time limit the
// command is killed (SIGALRM, exit code 142) when it runs longer, so a hang fails the test.
ProcessResult runCli(const std::vector<std::string>& args, unsigned timeLimitSeconds = 0);
// The same for any program, named by its path.
ProcessResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         unsigned timeLimitSeconds = 0);

// Runs `body` in a forked child whose exit code is body's result (4 when it throws); never
// returns in the child.
pid_t spawn(const std::function<int()>& body);
// The child's exit code, or minus the signal that ended it.
int exitCode(pid_t pid);

// ---- Refusals

// The text of the error `f` throws, or "no error".
template <class F>
std::string messageOf(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return describeError(e);
    }
    return "no error";
}

// Runs `f` and expects the library's refusal with exactly this message.
inline void expectError(const std::function<void()>& f, const std::string& message) { EXPECT_EQ(messageOf(f), message); }

// The code and text of the refusal `f` throws: callers decide by the code, users read the text.
struct Refusal {
    std::string code;  // a PoseErrorCode's name, "other" for any other error, "none" without one
    std::string message;
    bool operator==(const Refusal&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Refusal& r) { return out << r.code << ": " << r.message; }
};

template <class F>
Refusal refusalOf(F&& f) {
    try {
        f();
    } catch (const PoseError& e) {
        return {std::string(enumName(e.code())), e.message()};
    } catch (const std::exception& e) {
        return {"other", describeError(e)};
    }
    return {"none", ""};
}

// ---- Review documents in memory

inline const PixelRect panel{0, 0, 1000, 800};

inline ReviewFrame frame(const std::string& pairID, const std::string& role, char hash = 'a') {
    return ReviewFrame(pairID + "-" + role, pairID, role, role == "subject" ? "Rider" : "Reference rider",
                       pairID + "-" + role + ".jpg", std::string(64, hash), panel, std::nullopt, std::nullopt);
}

// Pair A001 with subject and reference, pair B001 with a subject only.
inline ReviewDocument document() {
    return ReviewDocument(std::string(64, 'm'), std::string(64, 'r'),
                          {frame("A001", "subject", 'a'), frame("A001", "reference", 'b'), frame("B001", "subject", 'c')});
}

inline const ReviewPair pairA{"A001", "A001-subject", "A001-reference"};
inline const ReviewPair pairB{"B001", "B001-subject", std::nullopt};

// Confirms the three joints of a feature at the given points.
inline void place(ReviewFrame& f, PairFeature feature, Point2 outer, Point2 vertex, Point2 other) {
    auto names = joints(feature);
    f.setJoint(std::string(names[0]), outer, JointReviewState::confirmed);
    f.setJoint(std::string(names[1]), vertex, JointReviewState::confirmed);
    f.setJoint(std::string(names[2]), other, JointReviewState::confirmed);
}

// Joints whose included angle at the vertex is `degrees`: the outer joint straight above
// the vertex, the other turned `degrees` away from it.
inline void placeAngle(ReviewFrame& f, PairFeature feature, double degrees) {
    const double r = degrees * 3.14159265358979323846 / 180;
    place(f, feature, {400, 200}, {400, 400}, {400 + 150 * std::sin(r), 400 - 150 * std::cos(r)});
}

// ---- Review sessions on disk

// Three joints of one kind, 5 px apart from (x, y).
inline PoseResult pose(const std::string& kind, double x, double y) {
    PoseResult r;
    r.kind = kind;
    r.status = "needsReview";
    r.requestRevision = 1;
    r.candidateCount = 1;
    for (auto name : {"left_knee", "right_knee", "left_hip"}) {
        JointResult j{name, {x, y}, std::nullopt, std::nullopt, std::nullopt};
        if (kind == "2D") j.confidence2D = 0.9;
        r.joints.push_back(j);
        x += 5;
    }
    return r;
}

struct SessionFiles {
    fs::path folder, manifest, report;
};

// Pair p1 (subject on a.png, reference on b.png) and pair p2 (subject only, on the pair's
// photo c.png), 64x48 pixels each, with a results file in "run" that matches them.
SessionFiles writeSession(const fs::path& folder);

// ---- Manifests written by hand

inline json::Value rect(double x, double y, double w, double h) {
    return {{"x", x}, {"y", y}, {"width", w}, {"height", h}};
}

inline json::Value manifestRider(const std::string& role, const std::string& name, const json::Value& panel,
                                 const json::Value& crop, const json::Value& annotations = json::Value::array()) {
    return {{"role", role}, {"rider", name}, {"panel", panel}, {"crop", crop}, {"annotations", annotations},
            {"annotationNote", ""}};
}

// `riders` by value: a one-rider braced list must become an array, not bind to that rider.
inline json::Value manifestPair(const std::string& id, const std::string& file, json::Value riders) {
    return {{"id", id}, {"file", file}, {"riders", riders}};
}

// A schema-1 manifest of these pairs.
inline json::Value manifestOf(const json::Value& pairs, const std::string& session = "S",
                              const std::string& provenance = "") {
    return {{"schemaVersion", 1}, {"session", session}, {"annotationProvenance", provenance}, {"pairs", pairs}};
}

// ---- Discovery

// The report a complete run would write for the manifest as it is on disk now: one crop
// per rider with the hash of its photo, bound to the manifest's bytes.
inline FeasibilityReport matchingReport(const fs::path& manifestPath) {
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
        return [this](const fs::path& manifestPath, const fs::path& output) {
            ++calls;
            fs::create_directory(output);
            platform::writeFileAtomically(output / "results.json", json::pretty(matchingReport(manifestPath)));
        };
    }
};

}  // namespace torvane::test
