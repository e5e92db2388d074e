// Photo loading and hashing, side by side with the command-line tools that do the same
// work: `vips copy x.jpg x.v` (decode only) and `sha256sum`.
#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "Torvane/ContentHash.h"
#include "Torvane/ImageInput.h"

using namespace torvane;

namespace {

void ImageInputLoad(benchmark::State& state) {
    auto file = bench::photoJPEG(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) benchmark::DoNotOptimize(ImageInput::load(file));
    state.counters["peakMB"] = bench::peakMemoryMB();
}
BENCHMARK(ImageInputLoad)->Args({4000, 3000})->Args({6000, 4000})->Unit(benchmark::kMillisecond)->UseRealTime();

// The reference: decode with the vips tool, then hash with sha256sum.
void VipsCopyPlusSha256sum(benchmark::State& state) {
    auto file = bench::photoJPEG(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    auto out = bench::scratchFolder() / "decoded.v";
    for (auto _ : state) {
        double seconds = bench::timeCommand("vips copy " + file.string() + " " + out.string()) +
                         bench::timeCommand("sha256sum " + file.string());
        state.SetIterationTime(seconds);
    }
}
BENCHMARK(VipsCopyPlusSha256sum)->Args({4000, 3000})->Args({6000, 4000})->Unit(benchmark::kMillisecond)->UseManualTime();

void ContentHashOfFile(benchmark::State& state) {
    auto file = bench::randomFile(100u << 20);
    for (auto _ : state) benchmark::DoNotOptimize(contentHashOfFile(file));
    state.SetBytesProcessed(state.iterations() * (100 << 20));
}
BENCHMARK(ContentHashOfFile)->Unit(benchmark::kMillisecond)->UseRealTime();

void Sha256sumCommand(benchmark::State& state) {
    auto file = bench::randomFile(100u << 20);
    for (auto _ : state) state.SetIterationTime(bench::timeCommand("sha256sum " + file.string()));
    state.SetBytesProcessed(state.iterations() * (100 << 20));
}
BENCHMARK(Sha256sumCommand)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace
