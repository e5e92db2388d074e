#include "TestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "Torvane/ContentHash.h"

namespace torvane::testing {

namespace fs = std::filesystem;

TemporaryFolder::TemporaryFolder() : path_(fs::temp_directory_path() / ("torvane-test-" + randomUUID())) {
    fs::create_directories(path_);
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

platform::Raster patternPhoto(int width, int height) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = static_cast<std::uint8_t>(x * 7 + y * 3);
            p[1] = static_cast<std::uint8_t>(x * 5 + y * 11);
            p[2] = static_cast<std::uint8_t>(x * 13 + y * 17);
        }
    return platform::Raster::fromRGB(width, height, rgb.data());
}

platform::Raster plainPhoto(int width, int height, std::uint8_t grey) {
    return platform::Raster::filled(width, height, grey, grey, grey);
}

std::vector<int> rgbAt(const platform::Raster& raster, int x, int y) {
    const std::uint8_t* p = raster.data() + (static_cast<std::size_t>(y) * raster.width() + x) * 3;
    return {p[0], p[1], p[2]};
}

ProcessResult runCli(const std::vector<std::string>& arguments) {
    // Output goes to files rather than pipes so a chatty child can never block on a full pipe.
    TemporaryFolder folder;
    const fs::path outFile = folder / "out", errFile = folder / "err";
    pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        std::string program = TORVANE_CLI_PATH;
        argv.push_back(program.data());
        std::vector<std::string> copies = arguments;
        for (auto& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (!std::freopen(outFile.c_str(), "w", stdout) || !std::freopen(errFile.c_str(), "w", stderr)) ::_exit(127);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ProcessResult result;
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = readText(outFile);
    result.err = readText(errFile);
    return result;
}

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

}  // namespace torvane::testing
