// Inputs shared by the benchmarks: photo-like JPEGs of a given size and large files,
// made once per run in a scratch folder.
#pragma once

#include <filesystem>
#include <string>

namespace torvane::bench {

// Folder for generated inputs (kept between runs so that repeated runs are comparable).
std::filesystem::path scratchFolder();

// A JPEG of about `megapixels` with photo-like detail (the sample photo scaled up, with
// sensor-like noise), quality 90, cached by size.
std::filesystem::path photoJPEG(int width, int height);

// One of the sample photos setup.sh installs (basketball1.png, messi5.jpg, ...).
std::filesystem::path samplePhoto(const std::string& name);

// A file of `bytes` random bytes.
std::filesystem::path randomFile(std::size_t bytes);

// Wall-clock seconds of a shell command (its output discarded).
double timeCommand(const std::string& command);

// Peak resident memory of this process, in MB.
double peakMemoryMB();

}  // namespace torvane::bench
