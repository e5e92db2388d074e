// Helpers shared by the tests: scratch folders, real files, generated photos and running
// the built command line.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "Torvane/platform/Raster.h"

namespace torvane::test {

// A fresh folder under the system temp folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

void writeText(const std::filesystem::path& file, std::string_view text);
std::string readText(const std::filesystem::path& file);

// Writes a synthetic photo (a smooth gradient, so every pixel differs from its
// neighbours) in the format its extension names: .jpg, .png, .tif, .heic. A JPEG may carry
// an EXIF orientation tag; a TIFF may have several pages (later pages have other sizes).
void writePhoto(const std::filesystem::path& file, int width, int height, int orientation = 1, int pages = 1);

// Folder of the sample photos installed by setup.
std::filesystem::path samplePhoto(const std::string& name);

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

}  // namespace torvane::test

// Rasters made in memory, for the drawing tests.
namespace torvane::testing {

using TemporaryFolder = test::TempDir;
using test::ProcessResult;
using test::readText;
using test::runCli;

// A photo whose every pixel differs from its neighbours, so a changed pixel shows.
platform::Raster patternPhoto(int width, int height);
platform::Raster plainPhoto(int width, int height, std::uint8_t grey);

// RGB of one pixel.
std::vector<int> rgbAt(const platform::Raster& raster, int x, int y);

}  // namespace torvane::testing
