// The desk's web files, built into the binary.
#pragma once

#include <span>
#include <string_view>

namespace torvane::desk {

struct EmbeddedAsset {
    std::string_view name;   // relative to the web folder, e.g. "app.js", "views/rider.js"
    std::string_view bytes;
};

std::span<const EmbeddedAsset> embeddedAssets();

}  // namespace torvane::desk
