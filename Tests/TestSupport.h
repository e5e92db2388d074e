// Helpers shared by the tests: scratch folders, real files, generated photos and running
// the built command line.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

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

// Runs the built torvane command with the arguments; stdin is empty.
ProcessResult runCli(const std::vector<std::string>& args);

}  // namespace torvane::test
