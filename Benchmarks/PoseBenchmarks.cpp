// The detector's cost: raw network runs, model loads, and both estimates on a rider crop.
// Both estimates together should cost at most 2.5x the raw network runs of the original
// pipeline: two person-detector runs, three MoveNet runs and one BlazePose full run (they now
// share one person-detector run and two MoveNet runs, three when the crop's square shows
// nobody, and make two more MoveNet runs on the crop as it is, three when that view shows
// nobody, and three BlazePose heavy runs, two when MoveNet needed more than four runs).
#include <benchmark/benchmark.h>

#include <chrono>

#include "BenchSupport.h"
#include "Torvane/ImageInput.h"
#include "Torvane/VisionPoseEstimator.h"
#include "Torvane/platform/PoseModels.h"
#include "Torvane/platform/TfjsGraph.h"

using namespace torvane;
using platform::PoseModels;

namespace {

void networkRun(benchmark::State& state, PoseModels::Network network, int size, float value) {
    const PoseModels& models = PoseModels::shared();
    std::vector<float> input(static_cast<std::size_t>(size) * size * 3, value);
    for (auto _ : state) benchmark::DoNotOptimize(models.run(network, input));
}

void BM_MoveNetRun(benchmark::State& state) { networkRun(state, PoseModels::Network::moveNet, 256, 128); }
void BM_DetectorRun(benchmark::State& state) { networkRun(state, PoseModels::Network::detector, 224, 0); }
void BM_LandmarksRun(benchmark::State& state) { networkRun(state, PoseModels::Network::landmarks, 256, 0.5f); }

const std::vector<std::string> landmarkOutputs = {"Identity_2", "Identity_4", "Identity_3"};

// BlazePose full, the 3-D network of the original pipeline: part of the budget's unit.
platform::TfjsGraph fullLandmarks() {
    return platform::TfjsGraph::load(platform::defaultPoseModelFolder() / "blazepose-full.json", landmarkOutputs);
}

void BM_FullLandmarksRun(benchmark::State& state) {
    const platform::TfjsGraph graph = fullLandmarks();
    std::vector<float> input(256 * 256 * 3, 0.5f);
    for (auto _ : state) benchmark::DoNotOptimize(graph.run(input.data()));
}

void modelLoad(benchmark::State& state, const char* name, std::vector<std::string> outputs) {
    for (auto _ : state)
        benchmark::DoNotOptimize(platform::TfjsGraph::load(platform::defaultPoseModelFolder() / (std::string(name) + ".json"), outputs));
}

void BM_LoadMoveNet(benchmark::State& state) {
    modelLoad(state, "movenet-thunder",
              {"StatefulPartitionedCall/Sigmoid", "StatefulPartitionedCall/Sigmoid_1",
               "StatefulPartitionedCall/kpt_regress_0/conv2d_6/BiasAdd", "StatefulPartitionedCall/kpt_offset_0/conv2d_7/BiasAdd"});
}
void BM_LoadDetector(benchmark::State& state) { modelLoad(state, "blazepose-detector", {"Identity"}); }
void BM_LoadLandmarks(benchmark::State& state) { modelLoad(state, "blazepose-heavy", landmarkOutputs); }

// Both estimates of one rider crop (estimateBoth, as the runner, retries and `torvane detect`
// make them) against the raw network runs of the original
// pipeline (the budget's unit);
// state.range(0) upscales the photo first to stand for a crop of a large camera file; 0 takes
// instead a crop that a person fills (basketball1.png's right player), on which MoveNet also
// looks at the zoomed-out square (five MoveNet runs and two BlazePose heavy runs).
void BM_EstimateBoth(benchmark::State& state) {
    const int factor = static_cast<int>(state.range(0));
    ImageInput photo = ImageInput::load(factor ? bench::photoJPEG(548, 342) : bench::samplePhoto("basketball1.png"));
    const PixelRect crop = factor ? PixelRect{40, 20, 480, 322} : PixelRect{420, 20, 220, 260};
    platform::Raster image = photo.cropped(crop);
    if (factor > 1) {
        std::vector<std::uint8_t> big(static_cast<std::size_t>(image.width() * factor) * image.height() * factor * 3);
        for (int y = 0; y < image.height() * factor; ++y)
            for (int x = 0; x < image.width() * factor; ++x)
                for (int c = 0; c < 3; ++c)
                    big[(static_cast<std::size_t>(y) * image.width() * factor + x) * 3 + c] =
                        image.data()[(static_cast<std::size_t>(y / factor) * image.width() + x / factor) * 3 + c];
        image = platform::Raster::fromRGB(image.width() * factor, image.height() * factor, big.data());
    }
    const PixelRect scaled{0, 0, static_cast<double>(image.width()), static_cast<double>(image.height())};
    const PoseModels& models = PoseModels::shared();
    const platform::TfjsGraph full = fullLandmarks();
    // The network runs the two estimates need, timed in the same loop so that a busy
    // machine weighs on both alike.
    const std::vector<float> moveNetInput(256 * 256 * 3, 128), detectorInput(224 * 224 * 3, 0), landmarkInput(256 * 256 * 3, 0.5f);
    using Clock = std::chrono::steady_clock;
    Clock::duration estimates{}, networks{};
    for (auto _ : state) {
        auto t0 = Clock::now();
        auto [twoD, threeD] = VisionPoseEstimator::estimateBoth(image, scaled);
        auto t1 = Clock::now();
        for (int i = 0; i < 2; ++i) benchmark::DoNotOptimize(models.run(PoseModels::Network::detector, detectorInput));
        for (int i = 0; i < 3; ++i) benchmark::DoNotOptimize(models.run(PoseModels::Network::moveNet, moveNetInput));
        benchmark::DoNotOptimize(full.run(landmarkInput.data()));
        auto t2 = Clock::now();
        estimates += t1 - t0;
        networks += t2 - t1;
        if (twoD.status != "needsReview" || threeD.status != "needsReview") state.SkipWithError("no pose");
        benchmark::DoNotOptimize(twoD);
        benchmark::DoNotOptimize(threeD);
    }
    auto ms = [&](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count() / static_cast<double>(state.iterations()); };
    state.counters["estimatesMs"] = ms(estimates);
    state.counters["networksMs"] = ms(networks);
    state.counters["ratio"] = ms(estimates) / ms(networks);
    state.counters["peakMB"] = bench::peakMemoryMB();
    state.counters["pixels"] = static_cast<double>(image.width()) * image.height();
}

}  // namespace

BENCHMARK(BM_MoveNetRun)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DetectorRun)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LandmarksRun)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullLandmarksRun)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EstimateBoth)->Arg(1)->Arg(8)->Arg(0)->MinTime(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadMoveNet)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_LoadDetector)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_LoadLandmarks)->Unit(benchmark::kMillisecond)->Iterations(3);
