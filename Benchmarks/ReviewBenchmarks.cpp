// Cost of the review document's round trips at the size of a long track day: 60 pairs,
// every joint reviewed, a long edit history per frame.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "BenchSupport.h"
#include "Torvane/InspectionRenderer.h"
#include "Torvane/PairReview.h"
#include "Torvane/ReviewStore.h"
#include "Torvane/platform/FileSystem.h"

using namespace torvane;
namespace fs = std::filesystem;

namespace {

PoseResult detected(const std::string& kind, double offset) {
    PoseResult r;
    r.kind = kind;
    r.status = "needsReview";
    r.candidateCount = 1;
    r.durationSeconds = 0.125;
    for (std::size_t i = 0; i < jointNames3D.size(); ++i) {
        JointResult j{std::string(jointNames3D[i]), {offset + 10.0 * static_cast<double>(i), offset + 7.5 * static_cast<double>(i)},
                      std::nullopt, std::nullopt, std::nullopt};
        if (kind == "2D") j.confidence2D = 0.83;
        else j.position3D = std::vector<double>{0.1, 0.2, 0.3};
        r.joints.push_back(j);
    }
    return r;
}

ReviewDocument longDocument() {
    std::vector<ReviewFrame> frames;
    for (int p = 0; p < 60; ++p) {
        for (const char* role : {"subject", "reference"}) {
            std::string pair = "A" + std::to_string(1000 + p);
            ReviewFrame f(pair + "-" + role, pair, role, "Rider", pair + ".jpg", std::string(64, 'a'), {0, 0, 4000, 3000},
                          detected("3D", 100), detected("2D", 120));
            for (int round = 0; round < 5; ++round)
                for (auto joint : jointNames)
                    f.setJoint(std::string(joint), Point2{200.0 + round, 300.0 + round}, JointReviewState::corrected);
            frames.push_back(std::move(f));
        }
    }
    ReviewDocument d(std::string(64, 'm'), std::string(64, 'r'), std::move(frames));
    for (const auto& pair : PairReview::resolve(d.frames)) d.comparisonContexts.emplace_back(d, pair);
    return d;
}

const ReviewDocument& document() {
    static const ReviewDocument d = longDocument();
    return d;
}

void encodeDocument(benchmark::State& state) {
    std::size_t bytes = 0;
    for (auto _ : state) bytes = json::pretty(document()).size();
    state.counters["bytes"] = static_cast<double>(bytes);
}

void decodeAndCheckDocument(benchmark::State& state) {
    const std::string text = json::pretty(document());
    for (auto _ : state) benchmark::DoNotOptimize(ReviewStore::decode(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void evidenceHashOfAPair(benchmark::State& state) {
    const ReviewPair pair = PairReview::resolve(document().frames).back();
    for (auto _ : state) benchmark::DoNotOptimize(PairReview::evidenceHash(document(), pair));
}

// A whole save: lock, load and check the file on disk, write, flush and rename.
void saveDocument(benchmark::State& state) {
    const fs::path folder = bench::scratchFolder() / "review";
    fs::remove_all(folder);
    fs::create_directories(folder);
    const fs::path path = folder / "joint-review-000000000000.json";
    ReviewDocument d = document();
    ReviewStore::save(d, path, std::nullopt);
    for (auto _ : state) {
        d.revision += 1;
        ReviewStore::save(d, path, d.revision - 1);
    }
    fs::remove_all(folder);
}

}  // namespace

BENCHMARK(encodeDocument)->Unit(benchmark::kMillisecond);
BENCHMARK(decodeAndCheckDocument)->Unit(benchmark::kMillisecond);
BENCHMARK(evidenceHashOfAPair)->Unit(benchmark::kMicrosecond);
BENCHMARK(saveDocument)->Unit(benchmark::kMillisecond);
