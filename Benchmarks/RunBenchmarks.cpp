// One rider of a feasibility run on a photo-sized picture: the whole run against its parts
// and against one `vips pngsave --compression 1` of the photo; a 60-rider session through
// the real command; and the peak memory of the real command.
//
//   bash scripts/bench.sh --benchmark_filter='Rider|Analyze|Session'
//
// The photo is a 24 MP JPEG (6000 x 4000, detail plus sensor-like noise); its panel and
// crop are the whole photo, as in an automatic manifest, so each rider draws and encodes
// two photo-sized pictures.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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
    double pngsave = 0;
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
        pngsave += bench::timeCommand("vips pngsave '" + photoFile.string() + "' '" +
                                      (workFolder() / "vips.png").string() + "' --compression 1");
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
    add("vips_pngsave", Split{pngsave, 0});
    // The whole rider against its parts done one after another (below 1 when the pictures
    // overlap each other and the detection), and against one `vips pngsave --compression 1`
    // of the photo (the goal: within 1.2 with the real detector).
    state.counters["run_per_parts"] = run.wall / (decode.wall + hash.wall + detect.wall + draw.wall + encode.wall);
    state.counters["run_per_pngsave"] = run.wall / pngsave;
    state.counters["png_MB"] = double(fs::file_size(workFolder() / "part.png")) / 1e6;
    state.counters["vips_png_MB"] = double(fs::file_size(workFolder() / "vips.png")) / 1e6;
    state.counters["maxRSS_MB"] = bench::peakMemoryMB();
}
BENCHMARK(RiderOn24MPPhoto)->Arg(0)->Arg(1)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

fs::path cliPath() { return fs::read_symlink("/proc/self/exe").parent_path() / "torvane"; }

struct ChildRun {
    int status = -1;      // exit status, -1 when it did not exit
    double maxRSSMB = 0;  // the child's own peak resident memory
};

// Runs `torvane analyze` in a child process.
ChildRun analyzeInChild(const fs::path& manifest, const fs::path& out) {
    pid_t pid = fork();
    if (pid == 0) {
        const std::string program = cliPath().string();
        if (!freopen("/dev/null", "w", stdout)) _exit(127);
        execl(program.c_str(), program.c_str(), "analyze", manifest.c_str(), out.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, static_cast<double>(usage.ru_maxrss) / 1024.0};
}

// A track day's worth: 60 riders of 24 MP (one photo each, the whole photo as panel and crop),
// through the real command with the real detector. Compare main and a branch by running this
// benchmark from both builds back to back.
void SessionOf60Riders(benchmark::State& state) {
    const int riders = 60, width = 6000, height = 4000;
    const fs::path photo = bench::photoJPEG(width, height);
    const fs::path folder = workFolder() / "session-60";
    fs::create_directories(folder);
    json::Value whole = {{"x", 0}, {"y", 0}, {"width", width}, {"height", height}};
    json::Value pairs = json::Value::array();
    for (int i = 1; i <= riders; ++i) {
        char id[8];
        std::snprintf(id, sizeof id, "A%03d", i);
        const std::string file = std::string(id) + ".jpg";
        if (!fs::exists(folder / file)) fs::create_hard_link(photo, folder / file);
        pairs.push_back({{"id", id},
                         {"file", file},
                         {"riders", {{{"role", "subject"}, {"rider", "R"}, {"panel", whole}, {"crop", whole},
                                      {"annotations", json::Value::array()}, {"annotationNote", ""}}}}});
    }
    json::Value manifest = {
        {"schemaVersion", 1}, {"session", "Track day"}, {"annotationProvenance", "none"}, {"pairs", pairs}};
    platform::writeFileAtomically(folder / "session.json", manifest.dump());
    const fs::path out = workFolder() / "session-60-run";
    double peak = 0;
    for (auto _ : state) {
        fs::remove_all(out);
        const auto t = Clock::now();
        const ChildRun child = analyzeInChild(folder / "session.json", out);
        state.SetIterationTime(seconds(t));
        peak = std::max(peak, child.maxRSSMB);
        if (child.status != 0) state.SkipWithError("torvane analyze failed");
    }
    fs::remove_all(out);
    state.counters["riders"] = riders;
    state.counters["child_maxRSS_MB"] = peak;
}
BENCHMARK(SessionOf60Riders)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The real command in a child process: its peak resident memory is the child's alone.
void PeakMemoryOfAnalyzeCommand(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    const fs::path manifest = session(bench::photoJPEG(width, height), width, height);
    const fs::path out = workFolder() / "cli-run";
    double elapsed = 0, peak = 0;
    for (auto _ : state) {
        fs::remove_all(out);
        const auto t = Clock::now();
        const ChildRun child = analyzeInChild(manifest, out);
        elapsed = seconds(t);
        state.SetIterationTime(elapsed);
        peak = std::max(peak, child.maxRSSMB);
        if (child.status != 0) state.SkipWithError("torvane analyze failed");
    }
    fs::remove_all(out);
    state.counters["megapixels"] = width * double(height) / 1e6;
    state.counters["child_maxRSS_MB"] = peak;
}
BENCHMARK(PeakMemoryOfAnalyzeCommand)
    ->Args({6000, 4000})
    ->Args({7700, 5190})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
