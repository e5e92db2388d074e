#include "Torvane/InspectionRenderer.h"

namespace torvane {

// Placeholder until the renderer lands.
void InspectionRenderer::write(const platform::Raster&, const PixelRect&, const PixelRect&, const PoseResult&,
                               const std::vector<Landmark>&, const std::filesystem::path&) {
    throw PoseError::invalidInput("Cannot allocate renderer.");
}

}  // namespace torvane
