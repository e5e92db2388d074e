// Rescanning an unchanged data folder (3 sessions of 20 photos of 12 MP, already analysed),
// side by side with `sha256sum` over the same photo files: a rescan must hash and match,
// never analyse again. With reviews, every session's results file carries a saved review,
// so report preference also loads, makes and compares review documents.
#include <benchmark/benchmark.h>

#include <stdexcept>

#include "../Tests/DiscoveryTestSupport.h"
#include "BenchSupport.h"
#include "Torvane/ReviewSession.h"

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
DataFolder dataFolder(bool withReviews) {
    DataFolder data{bench::scratchFolder() / (withReviews ? "discovery-reviewed" : "discovery-plain"), {}};
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
    if (withReviews)
        for (const auto& session : report.sessions) {
            const fs::path review = ReviewStore::documentURL(session.resultsURL);
            if (!fs::exists(review))
                ReviewStore::save(ReviewStore::make(session.manifestURL, session.resultsURL), review, std::nullopt);
        }
    return data;
}

void DiscoveryRescan(benchmark::State& state) {
    const auto data = dataFolder(state.range(0) != 0);
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
BENCHMARK(DiscoveryRescan)->ArgName("reviews")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The reference: sha256sum over the same 60 photo files, in one process.
void Sha256sumSamePhotos(benchmark::State& state) {
    const auto data = dataFolder(false);
    std::string command = "sha256sum";
    for (const auto& photo : data.photos) command += " '" + photo.string() + "'";
    for (auto _ : state) state.SetIterationTime(bench::timeCommand(command));
    state.counters["photos"] = static_cast<double>(data.photos.size());
}
BENCHMARK(Sha256sumSamePhotos)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace
