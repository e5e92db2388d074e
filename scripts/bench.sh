#!/usr/bin/env bash
# Builds the Release benchmarks and runs them (extra arguments go to Google Benchmark,
# e.g. --benchmark_filter=ImageInput).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh"
build="$root/build-release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTORVANE_BENCHMARKS=ON >/dev/null
cmake --build "$build" --target torvane-benchmarks
"$build/torvane-benchmarks" --benchmark_counters_tabular=true "$@"
