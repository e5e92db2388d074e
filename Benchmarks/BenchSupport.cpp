#include "BenchSupport.h"

#include <sys/resource.h>
#include <vips/vips.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <vector>

namespace torvane::bench {

namespace fs = std::filesystem;

fs::path scratchFolder() {
    fs::path folder = fs::temp_directory_path() / "torvane-bench";
    fs::create_directories(folder);
    return folder;
}

fs::path samplePhoto(const std::string& name) {
    const char* cache = std::getenv("TORVANE_CACHE");
    return fs::path(cache ? cache : "/var/cache/torvane") / "samples" / name;
}

fs::path photoJPEG(int width, int height) {
    fs::path file = scratchFolder() / ("photo-" + std::to_string(width) + "x" + std::to_string(height) + ".jpg");
    if (fs::exists(file)) return file;
    if (VIPS_INIT("torvane-bench")) throw std::runtime_error("vips init failed");
    fs::path sample = samplePhoto("messi5.jpg");
    VipsImage *thumb = nullptr, *noise = nullptr, *noisy = nullptr, *out = nullptr;
    if (vips_thumbnail(sample.c_str(), &thumb, width, "height", height, "size", VIPS_SIZE_FORCE, nullptr) ||
        vips_gaussnoise(&noise, width, height, "sigma", 6.0, "mean", 0.0, nullptr) ||
        vips_add(thumb, noise, &noisy, nullptr) || vips_cast_uchar(noisy, &out, nullptr) ||
        vips_jpegsave(out, file.c_str(), "Q", 90, nullptr))
        throw std::runtime_error(std::string("cannot make benchmark photo: ") + vips_error_buffer());
    for (VipsImage* i : {thumb, noise, noisy, out}) g_object_unref(i);
    return file;
}

fs::path randomFile(std::size_t bytes) {
    fs::path file = scratchFolder() / ("random-" + std::to_string(bytes) + ".bin");
    if (fs::exists(file) && fs::file_size(file) == bytes) return file;
    std::mt19937_64 random(42);
    std::vector<std::uint64_t> block(1 << 17);
    std::ofstream out(file, std::ios::binary);
    for (std::size_t written = 0; written < bytes;) {
        for (auto& v : block) v = random();
        std::size_t n = std::min(bytes - written, block.size() * sizeof(std::uint64_t));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        written += n;
    }
    return file;
}

double timeCommand(const std::string& command) {
    auto start = std::chrono::steady_clock::now();
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) throw std::runtime_error("failed: " + command);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double peakMemoryMB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

}  // namespace torvane::bench
