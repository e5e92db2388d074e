// One rider of a feasibility run on a photo-sized picture: the whole run against its parts,
// and the peak memory of the real command.
//
//   bash scripts/bench.sh --benchmark_filter='Rider|Analyze'
//
// The photo is a 24 MP JPEG (6000 x 4000, detail plus sensor-like noise); its panel and
// crop are the whole photo, as in an automatic manifest, so each rider draws and encodes
// two photo-sized pictures.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

#include "BenchSupport.h"
#include "Torvane/ContentHash.h"
#include "Torvane/FeasibilityRunner.h"
#include "Torvane/ImageInput.h"
#include "Torvane/InspectionRenderer.h"
#include "Torvane/Json.h"
#include "Torvane/platform/FileSystem.h"

using namespace torvane;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

fs::path workFolder() {
    const fs::path folder = bench::scratchFolder() / "run";
    fs::create_directories(folder);
    return folder;
}

// A session of one subject whose panel and crop are the whole photo.
fs::path session(const fs::path& photoFile, int width, int height) {
    const fs::path folder = workFolder() / ("session-" + std::to_string(width));
    fs::create_directories(folder);
    fs::copy_file(photoFile, folder / "photo.jpg", fs::copy_options::overwrite_existing);
    json::Value whole = {{"x", 0}, {"y", 0}, {"width", width}, {"height", height}};
    json::Value manifest = {
        {"schemaVersion", 1},
        {"session", "Benchmark"},
        {"annotationProvenance", "none"},
        {"pairs",
         {{{"id", "A001"},
           {"file", "photo.jpg"},
           {"riders",
            {{{"role", "subject"}, {"rider", "R"}, {"panel", whole}, {"crop", whole}, {"annotations",
              {{{"name", "left_knee"}, {"point", {{"x", width * 0.5}, {"y", height * 0.7}}}, {"uncertaintyPixels", 20}}}},
              {"annotationNote", ""}}}}}}}};
    platform::writeFileAtomically(folder / "session.json", manifest.dump());
    return folder / "session.json";
}

// A detector stand-in with a full skeleton, so the drawing has every bone and number.
PoseEstimates scripted() {
    auto skeleton = [](const std::string& kind, const platform::Raster& image, const PixelRect& crop) {
        PoseResult r;
        r.kind = kind;
        r.status = "needsReview";
        r.requestRevision = 1;
        const auto& names = kind == "3D" ? std::vector<std::string_view>(jointNames3D.begin(), jointNames3D.end())
                                         : std::vector<std::string_view>(jointNames2D.begin(), jointNames2D.end());
        for (std::size_t i = 0; i < names.size(); ++i) {
            JointResult j;
            j.name = std::string(names[i]);
            j.point = {crop.x + image.width() * (0.3 + 0.03 * i), crop.y + image.height() * (0.2 + 0.04 * i)};
            if (kind == "2D") j.confidence2D = 0.9;
            r.joints.push_back(j);
        }
        return r;
    };
    PoseEstimates e;
    e.estimate3D = [skeleton](const platform::Raster& i, const PixelRect& c) { return skeleton("3D", i, c); };
    e.estimate2D = [skeleton](const platform::Raster& i, const PixelRect& c) { return skeleton("2D", i, c); };
    return e;
}

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double childrenPeakMemoryMB() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

// Wall-clock and process CPU seconds (the CPU figure includes libvips' worker threads
// and is the steadier one on a shared, loaded machine).
struct Split {
    double wall = 0, cpu = 0;
};

double processCPU() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

template <class F>
auto timed(Split& into, F&& work) {
    const auto wall = Clock::now();
    const double cpu = processCPU();
    struct Add {
        Split& into;
        Clock::time_point wall;
        double cpu;
        ~Add() {
            into.wall += seconds(wall);
            into.cpu += processCPU() - cpu;
        }
    } add{into, wall, cpu};
    return work();
}

// Each iteration runs the whole rider through FeasibilityRunner::run, then the same work
// again part by part, so the whole and its parts are measured under the same load.
// Argument 0: scripted detector; 1: the real VisionPoseEstimator.
void RiderOn24MPPhoto(benchmark::State& state) {
    const int width = 6000, height = 4000;
    const fs::path manifest = session(bench::photoJPEG(width, height), width, height);
    const fs::path photoFile = manifest.parent_path() / "photo.jpg";
    const PoseEstimates estimates = state.range(0) == 0 ? scripted() : PoseEstimates{};
    const PixelRect whole{0, 0, double(width), double(height)};
    Split run, decode, hash, detect, draw, encode, report;
    int n = 0;
    std::streambuf* stdoutBuffer = std::cout.rdbuf();
    std::ostringstream progress;
    for (auto _ : state) {
        const fs::path out = workFolder() / ("run-" + std::to_string(n));
        fs::remove_all(out);
        std::cout.rdbuf(progress.rdbuf());  // the progress lines are not the benchmark's output
        const double before = run.wall;
        const FeasibilityReport written = timed(run, [&] { return FeasibilityRunner::run(manifest, out, estimates); });
        std::cout.rdbuf(stdoutBuffer);
        state.SetIterationTime(run.wall - before);

        const platform::Raster image = timed(decode, [&] { return platform::decodeUpright(photoFile); });
        timed(hash, [&] { return contentHashOfFile(photoFile); });
        const PoseResult three = timed(detect, [&] { return estimates.estimate3D(image, whole); });
        const PoseResult two = timed(detect, [&] { return estimates.estimate2D(image, whole); });
        for (const PoseResult* pose : {&three, &two}) {
            const auto canvas = timed(draw, [&] { return InspectionRenderer::draw(image, whole, whole, *pose, {}); });
            timed(encode, [&] { return canvas.writePNG(workFolder() / "part.png"); });
        }
        timed(report, [&] {
            platform::writeFileAtomically(workFolder() / "part.json", json::pretty(written));
            platform::writeFileAtomically(workFolder() / "part.html", FeasibilityRunner::html(written));
            return 0;
        });
        fs::remove_all(out);
        ++n;
    }
    auto add = [&](const std::string& name, const Split& split) {
        state.counters[name + "_s"] = split.wall / n;
        state.counters[name + "_cpu_s"] = split.cpu / n;
    };
    add("run", run);
    add("decode", decode);
    add("hash", hash);
    add("detect", detect);
    add("draw", draw);
    add("encode2", encode);
    add("json_html", report);
    // The goal: the whole rider within 1.5 times one decode, two encodes and the two estimates.
    state.counters["run_per_unavoidable"] = run.wall / (decode.wall + detect.wall + encode.wall);
    state.counters["run_per_unavoidable_cpu"] = run.cpu / (decode.cpu + detect.cpu + encode.cpu);
    state.counters["png_MB"] = double(fs::file_size(workFolder() / "part.png")) / 1e6;
    state.counters["maxRSS_MB"] = bench::peakMemoryMB();
}
BENCHMARK(RiderOn24MPPhoto)->Arg(0)->Arg(1)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

fs::path cliPath() { return fs::read_symlink("/proc/self/exe").parent_path() / "torvane"; }

// The real command in a child process: its peak resident memory is the child's alone.
void PeakMemoryOfAnalyzeCommand(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    const fs::path manifest = session(bench::photoJPEG(width, height), width, height);
    const fs::path out = workFolder() / "cli-run";
    double elapsed = 0;
    for (auto _ : state) {
        fs::remove_all(out);
        const auto t = Clock::now();
        pid_t pid = fork();
        if (pid == 0) {
            const std::string program = cliPath().string();
            if (!freopen("/dev/null", "w", stdout)) _exit(127);
            execl(program.c_str(), program.c_str(), "analyze", manifest.c_str(), out.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        elapsed = seconds(t);
        state.SetIterationTime(elapsed);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("torvane analyze failed");
    }
    fs::remove_all(out);
    state.counters["megapixels"] = width * double(height) / 1e6;
    // RUSAGE_CHILDREN reports the largest child so far; the sizes run smallest first.
    state.counters["child_maxRSS_MB"] = childrenPeakMemoryMB();
}
BENCHMARK(PeakMemoryOfAnalyzeCommand)
    ->Args({6000, 4000})
    ->Args({7700, 5190})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
