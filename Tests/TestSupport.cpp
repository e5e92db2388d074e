#include "TestSupport.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace torvane::test {

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "torvane-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = fs::canonical(pattern);
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may leave read-only folders behind; make them writable before removing.
    for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
}

void writeText(const fs::path& file, std::string_view text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

namespace {
// r = x, g = y, b = (x + y) / 2, scaled into 0..255.
VipsImage* gradient(int width, int height) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = static_cast<std::uint8_t>(255 * x / std::max(1, width - 1));
            p[1] = static_cast<std::uint8_t>(255 * y / std::max(1, height - 1));
            p[2] = static_cast<std::uint8_t>((p[0] + p[1]) / 2);
        }
    VipsImage* image = vips_image_new_from_memory_copy(rgb.data(), rgb.size(), width, height, 3, VIPS_FORMAT_UCHAR);
    image->Type = VIPS_INTERPRETATION_sRGB;
    return image;
}
}  // namespace

void writePhoto(const fs::path& file, int width, int height, int orientation, int pages) {
    if (VIPS_INIT("torvane-tests")) throw std::runtime_error("vips init failed");
    VipsImage* image = gradient(width, height);
    std::string ext = file.extension().string();
    int failed = 0;
    if (ext == ".tif" || ext == ".tiff") {
        // Later pages are larger, so reading any page but the first shows in the size.
        std::vector<VipsImage*> all{image};
        for (int p = 1; p < pages; ++p) all.push_back(gradient(width, height));
        VipsImage* stacked = nullptr;
        failed = vips_arrayjoin(all.data(), &stacked, static_cast<int>(all.size()), "across", 1, nullptr);
        for (std::size_t i = 1; i < all.size(); ++i) g_object_unref(all[i]);
        if (!failed) {
            VipsImage* copy = nullptr;
            vips_copy(stacked, &copy, nullptr);
            vips_image_set_int(copy, "page-height", height);
            failed = vips_tiffsave(copy, file.c_str(), nullptr);
            g_object_unref(copy);
            g_object_unref(stacked);
        }
    } else {
        VipsImage* tagged = nullptr;
        vips_copy(image, &tagged, nullptr);
        if (orientation != 1) vips_image_set_int(tagged, "orientation", orientation);
        if (ext == ".jpg" || ext == ".jpeg")
            failed = vips_jpegsave(tagged, file.c_str(), "Q", 90, nullptr);
        else if (ext == ".png")
            failed = vips_pngsave(tagged, file.c_str(), nullptr);
        else if (ext == ".heic" || ext == ".heif")
            failed = vips_heifsave(tagged, file.c_str(), "Q", 80, nullptr);
        else
            failed = vips_image_write_to_file(tagged, file.c_str(), nullptr);
        g_object_unref(tagged);
    }
    g_object_unref(image);
    if (failed) {
        std::string message = vips_error_buffer();
        vips_error_clear();
        throw std::runtime_error("cannot write test photo " + file.string() + ": " + message);
    }
}

fs::path samplePhoto(const std::string& name) {
    const char* cache = std::getenv("TORVANE_CACHE");
    return fs::path(cache ? cache : "/var/cache/torvane") / "samples" / name;
}

pid_t spawn(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        int rc = 4;
        try {
            rc = body();
        } catch (...) {
        }
        _exit(rc);
    }
    return pid;
}

int exitCode(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

ProcessResult runCli(const std::vector<std::string>& args, unsigned timeLimitSeconds) {
    return runProgram(TORVANE_CLI_PATH, args, timeLimitSeconds);
}

ProcessResult runProgram(const std::string& program, const std::vector<std::string>& args, unsigned timeLimitSeconds) {
    TempDir scratch;
    const fs::path outFile = scratch / "out", errFile = scratch / "err";
    const pid_t pid = spawn([&] {
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        std::vector<std::string> copy = args;
        copy.insert(copy.begin(), program);
        std::vector<char*> argv;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (timeLimitSeconds > 0) alarm(timeLimitSeconds);  // survives exec
        execv(program.c_str(), argv.data());
        return 127;
    });
    if (pid < 0) throw std::runtime_error("fork failed");
    const int code = exitCode(pid);
    return {code < 0 ? 128 - code : code, readText(outFile), readText(errFile)};
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

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

std::vector<fs::path> runFolders(const fs::path& session) {
    std::vector<fs::path> folders;
    for (const auto& entry : fs::directory_iterator(session))
        if (entry.path().filename().string().rfind(SessionDiscovery::runFolderPrefix, 0) == 0) folders.push_back(entry.path());
    return folders;
}

SessionFiles writeSession(const fs::path& folder) {
    fs::create_directories(folder);
    platform::writePNG(platform::Raster::filled(64, 48, 200, 10, 10), folder / "a.png");
    platform::writePNG(platform::Raster::filled(64, 48, 10, 200, 10), folder / "b.png");
    platform::writePNG(platform::Raster::filled(64, 48, 10, 10, 200), folder / "c.png");

    SessionManifest manifest;
    manifest.session = "test";
    manifest.annotationProvenance = "tests";
    RiderInput subject{"subject", "Ana", "a.png", {0, 0, 60, 40}, {0, 0, 60, 40}, {}, std::nullopt, ""};
    RiderInput reference{"reference", "Ben", "b.png", {4, 4, 50, 40}, {4, 4, 50, 40}, {}, std::nullopt, ""};
    RiderInput single{"subject", "Cy", std::nullopt, {0, 0, 64, 48}, {0, 0, 64, 48}, {}, std::nullopt, ""};
    manifest.pairs = {{"p1", "a.png", {subject, reference}}, {"p2", "c.png", {single}}};
    SessionFiles s{folder, folder / "session.json", folder / "run" / "results.json"};
    writeText(s.manifest, json::pretty(manifest));

    // The crops of a complete run, each with both kinds of pose.
    FeasibilityReport report = matchingReport(s.manifest);
    for (auto& crop : report.crops) {
        crop.twoD = pose("2D", crop.crop.x + 10, crop.crop.y + 10);
        crop.threeD = pose("3D", crop.crop.x + 12, crop.crop.y + 12);
    }
    fs::create_directories(s.report.parent_path());
    writeText(s.report, json::pretty(report));
    return s;
}

}  // namespace torvane::test
