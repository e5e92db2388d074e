// A feasibility run: every rider of a session through both detectors, into a new run
// folder holding the pictures, results.json and index.html.
#pragma once

#include <filesystem>
#include <string>

#include "Torvane/FeasibilityReport.h"
#include "Torvane/VisionPoseEstimator.h"

namespace torvane {

struct FeasibilityRunner {
    // Creates `outputDirectory` (which must not exist) and fills it; prints one progress
    // line per rider on standard output. Returns the report written to results.json.
    static FeasibilityReport run(const std::filesystem::path& manifestPath,
                                 const std::filesystem::path& outputDirectory, const PoseEstimates& estimates = {});

    // The inspection page for a report, byte for byte as index.html holds it, and the
    // escaping of its text and attributes (InspectionPage.cpp).
    static std::string html(const FeasibilityReport& report);
    static std::string escape(const std::string& text);
};

}  // namespace torvane
