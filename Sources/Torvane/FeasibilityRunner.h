// A feasibility run: every rider of a session through both detectors, into a new run
// folder holding the pictures, results.json and index.html.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "Torvane/FeasibilityReport.h"
#include "Torvane/VisionPoseEstimator.h"
#include "Torvane/platform/Env.h"

namespace torvane {

struct FeasibilityRunner {
    // Told one line per rider once its files are written: "A001 subject: 3D=needsReview 2D=ambiguous".
    using Progress = std::function<void(const std::string& line)>;

    // Creates `outputDirectory` (which must not exist) and fills it. Returns the report
    // written to results.json, stamped with `env`'s clock.
    static FeasibilityReport run(const std::filesystem::path& manifestPath,
                                 const std::filesystem::path& outputDirectory, const PoseEstimates& estimates = {},
                                 const Progress& progress = {}, const platform::Env& env = platform::Env::system());

    // The inspection page for a report, byte for byte as index.html holds it, and the
    // escaping of its text and attributes (InspectionPage.cpp).
    static std::string html(const FeasibilityReport& report);
    static std::string escape(const std::string& text);
};

}  // namespace torvane
