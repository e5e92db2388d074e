// Review sessions on disk for the review tests: small photos, a manifest and a results
// file that matches them.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>

#include "TestSupport.h"

#include "Torvane/ContentHash.h"
#include "Torvane/FeasibilityReport.h"
#include "Torvane/LeanReview.h"
#include "Torvane/PairReview.h"
#include "Torvane/ReviewStore.h"
#include "Torvane/SessionManifest.h"
#include "Torvane/platform/FileSystem.h"
#include "Torvane/platform/Raster.h"

namespace reviewtest {

namespace fs = std::filesystem;
using namespace torvane;

using test::TempDir;
using test::readText;
using test::writeText;

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

struct Session {
    fs::path folder, manifest, report;
};

// Pair p1 (subject on a.png, reference on b.png) and pair p2 (subject only, on the pair's
// photo c.png), 64x48 pixels each.
inline Session writeSession(const fs::path& folder) {
    fs::create_directories(folder);
    platform::writePNG(platform::Raster::filled(64, 48, 200, 10, 10), folder / "a.png");
    platform::writePNG(platform::Raster::filled(64, 48, 10, 200, 10), folder / "b.png");
    platform::writePNG(platform::Raster::filled(64, 48, 10, 10, 200), folder / "c.png");

    SessionManifest manifest;
    manifest.session = "test";
    manifest.annotationProvenance = "tests";
    RiderInput subject{"subject", "Ana", "a.png", {0, 0, 60, 40}, {0, 0, 60, 40}, {}, std::nullopt, ""};
    RiderInput reference{"reference", "Ben", "b.png", {4, 4, 50, 40}, {4, 4, 50, 40}, {}, std::nullopt, ""};
    RiderInput single{"subject", "Cy", std::nullopt, {0, 0, 64, 48}, {0, 0, 64, 48}, {}, std::nullopt, ""};
    manifest.pairs = {{"p1", "a.png", {subject, reference}}, {"p2", "c.png", {single}}};
    Session s{folder, folder / "session.json", folder / "run" / "results.json"};
    writeText(s.manifest, json::pretty(manifest));

    FeasibilityReport report;
    report.session = "test";
    report.generatedAt = "2026-01-01T00:00:00Z";
    report.manifestHash = contentHash(readText(s.manifest));
    auto crop = [&](const std::string& pair, const std::string& role, const std::string& rider, const std::string& file,
                    PixelRect rect) {
        CropReport c;
        c.pairID = pair;
        c.role = role;
        c.rider = rider;
        c.crop = rect;
        c.sourceHash = contentHashOfFile(folder / file);
        c.twoD = pose("2D", rect.x + 10, rect.y + 10);
        c.threeD = pose("3D", rect.x + 12, rect.y + 12);
        return c;
    };
    report.crops = {crop("p1", "subject", "Ana", "a.png", {0, 0, 60, 40}),
                    crop("p1", "reference", "Ben", "b.png", {4, 4, 50, 40}),
                    crop("p2", "subject", "Cy", "c.png", {0, 0, 64, 48})};
    fs::create_directories(s.report.parent_path());
    writeText(s.report, json::pretty(report));
    return s;
}

}  // namespace reviewtest
