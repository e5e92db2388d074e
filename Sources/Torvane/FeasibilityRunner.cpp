#include "Torvane/FeasibilityRunner.h"

namespace torvane {

// Placeholder until the runner lands.
FeasibilityReport FeasibilityRunner::run(const std::filesystem::path&, const std::filesystem::path&,
                                         const PoseEstimates&) {
    throw PoseError::invalidInput("The feasibility run is not available in this build.");
}

std::string FeasibilityRunner::html(const FeasibilityReport&) { return {}; }

std::string FeasibilityRunner::escape(const std::string& text) { return text; }

}  // namespace torvane
