#!/usr/bin/env bash
# The main job on the bundled demo: installs what is missing, builds the release binary,
# prepares a demo data folder from the sample photos (outside the git tree, in the build
# folder) and runs `torvane discover` on it. Running it again analyses nothing: the
# results from the first run still match their manifests and photos.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh"
build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTORVANE_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target torvane-cli
cache="${TORVANE_CACHE:-/var/cache/torvane}"
samples="$cache/samples"
demo="$build/demo-data"

# Copies a file into the demo folder once; a file already there (and any review made on
# it) is left alone.
place() {
  mkdir -p "$(dirname "$2")"
  [[ -e "$2" ]] || cp "$1" "$2"
}
# A photo folder without a manifest: discovery writes one with a full-image subject.
place "$samples/messi5.jpg" "$demo/Messi solo/messi5.jpg"
# A hand-written manifest: the left player is the subject, the right one the reference.
place "$samples/basketball1.png" "$demo/Basketball pair/basketball1.png"
place "$root/scripts/demo/basketball-pair/session.json" "$demo/Basketball pair/session.json"
# Another photo folder without a manifest, two photos: pairs A001 and A002.
place "$samples/basketball1.png" "$demo/Mixed photos/basketball1.png"
place "$samples/person_multi_det.jpg" "$demo/Mixed photos/person_multi_det.jpg"

"$build/torvane" discover "$demo" --report "$build/demo-report.json"
echo
echo "Demo data folder: $demo"
echo "Discovery report (JSON): $build/demo-report.json"
echo "Run this script again to see that nothing is analysed twice."
echo
echo "Review the riders in your browser with the review desk:"
echo "  $build/torvane serve $demo"
echo "then open the address it prints (Ctrl+C stops it; every decision is already saved)."
