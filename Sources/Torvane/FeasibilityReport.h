// results.json: what the detectors made of every rider crop of a session.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Torvane/Geometry.h"
#include "Torvane/Localization.h"
#include "Torvane/PoseResult.h"

namespace torvane {

struct CropReport {
    std::string pairID;
    std::string role;
    std::string rider;
    std::optional<std::string> sourceHash;
    PixelRect crop;
    std::optional<PoseResult> threeD;
    std::optional<PoseResult> twoD;
    std::optional<Localization> localization3D;
    std::optional<Localization> localization2D;
    std::optional<std::string> error;

    bool operator==(const CropReport&) const = default;
    template <class V> void fields(V& v) {
        v("crop", crop); v("error", error); v("localization2D", localization2D); v("localization3D", localization3D);
        v("pairID", pairID); v("rider", rider); v("role", role); v("sourceHash", sourceHash); v("threeD", threeD);
        v("twoD", twoD);
    }
};

struct FeasibilityReport {
    std::int64_t schemaVersion = 1;
    std::string session;
    std::string operatingSystem;
    std::string machineArchitecture;
    std::string generatedAt;
    std::string annotationProvenance;
    std::string manifestHash;
    std::vector<CropReport> crops;

    bool operator==(const FeasibilityReport&) const = default;
    template <class V> void fields(V& v) {
        v("annotationProvenance", annotationProvenance); v("crops", crops); v("generatedAt", generatedAt);
        v("machineArchitecture", machineArchitecture); v("manifestHash", manifestHash);
        v("operatingSystem", operatingSystem); v("schemaVersion", schemaVersion); v("session", session);
    }
};

}  // namespace torvane
