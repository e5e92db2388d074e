// Rescanning an unchanged data folder (3 sessions of 20 photos of 12 MP, already analysed),
// side by side with `sha256sum` over the same photo files: a rescan must hash and match,
// never analyse again. reviewed:1 gives every session's results file a saved review;
// reviewed:2 gives every session two valid, reviewed results files (the run folder's and
// a copy in the session folder), so that report preference has to load, make and compare
// review documents, which decodes every photo of the session once per candidate.
#include <benchmark/benchmark.h>

#include <stdexcept>

#include "../Tests/TestSupport.h"
#include "BenchSupport.h"
#include "Torvane/ReviewStore.h"

using namespace torvane;
namespace fs = std::filesystem;

namespace {

constexpr int sessionCount = 3;
constexpr int photosPerSession = 20;

struct DataFolder {
    fs::path root;
    std::vector<fs::path> photos;
};

// Kept between runs in the benchmark scratch folder; whatever is missing is made.
DataFolder dataFolder(int reviewed) {
    DataFolder data{bench::scratchFolder() / ("discovery-reviewed-" + std::to_string(reviewed)), {}};
    const fs::path photo = bench::photoJPEG(4000, 3000);
    for (int s = 1; s <= sessionCount; ++s) {
        const fs::path folder = data.root / ("session-" + std::to_string(s));
        fs::create_directories(folder);
        for (int p = 1; p <= photosPerSession; ++p) {
            const fs::path copy = folder / ("photo-" + std::to_string(p) + ".jpg");
            if (!fs::exists(copy)) fs::copy_file(photo, copy);
            data.photos.push_back(copy);
        }
    }
    test::ScriptedAnalysis analysis;
    const auto report = SessionDiscovery::run(data.root, {}, {}, analysis.callback());
    if (!report.failures.empty()) throw std::runtime_error(report.failures[0].message);
    for (const auto& session : report.sessions) {
        std::vector<fs::path> results;
        if (reviewed >= 1) results.push_back(session.resultsURL);
        if (reviewed >= 2) {
            const fs::path copy = session.manifestURL.parent_path() / "results.json";
            if (!fs::exists(copy)) fs::copy_file(session.resultsURL, copy);
            results.push_back(copy);
        }
        for (const auto& file : results) {
            const fs::path review = ReviewStore::documentPath(file);
            if (!fs::exists(review)) ReviewStore::save(ReviewStore::make(session.manifestURL, file), review, std::nullopt);
        }
    }
    return data;
}

void DiscoveryRescan(benchmark::State& state) {
    const auto data = dataFolder(static_cast<int>(state.range(0)));
    const SessionDiscovery::Analyze refuse = [](const fs::path&, const fs::path&) {
        throw std::runtime_error("a rescan must not analyse");
    };
    for (auto _ : state) {
        const auto report = SessionDiscovery::run(data.root, {}, {}, refuse);
        if (!report.failures.empty() || report.sessions.size() != sessionCount) {
            state.SkipWithError("the rescan did not find every session unchanged");
            break;
        }
    }
    state.counters["photos"] = static_cast<double>(data.photos.size());
    state.counters["peakMB"] = bench::peakMemoryMB();
}
BENCHMARK(DiscoveryRescan)->ArgName("reviewed")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The reference: sha256sum over the same 60 photo files, in one process.
void Sha256sumSamePhotos(benchmark::State& state) {
    const auto data = dataFolder(0);
    std::string command = "sha256sum";
    for (const auto& photo : data.photos) command += " '" + photo.string() + "'";
    for (auto _ : state) state.SetIterationTime(bench::timeCommand(command));
    state.counters["photos"] = static_cast<double>(data.photos.size());
}
BENCHMARK(Sha256sumSamePhotos)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace
