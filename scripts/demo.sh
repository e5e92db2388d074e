#!/usr/bin/env bash
# The main job on the bundled demo: installs what is missing, builds the release binary
# and runs it on the sample photos.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh"
build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTORVANE_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target torvane-cli
cache="${TORVANE_CACHE:-/var/cache/torvane}"
"$build/torvane" image info "$cache/samples/messi5.jpg"
