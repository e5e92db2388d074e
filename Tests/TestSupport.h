// Shared helpers for tests that work through real files and processes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Torvane/platform/Raster.h"

namespace torvane::testing {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// A photo whose every pixel differs from its neighbours, so a changed pixel shows.
platform::Raster patternPhoto(int width, int height);
platform::Raster plainPhoto(int width, int height, std::uint8_t grey);

// RGB of one pixel.
std::vector<int> rgbAt(const platform::Raster& raster, int x, int y);

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the torvane command with the arguments and collects its output.
ProcessResult runCli(const std::vector<std::string>& arguments);

std::string readText(const std::filesystem::path& file);

}  // namespace torvane::testing
