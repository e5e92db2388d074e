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

# A feasibility run on the sample photos: pair A001 has a subject and a reference rider
# (the reference in another photo), pair A002's photo is missing; that rider's failure is
# recorded in its report and the run goes on.
demo="$(mktemp -d "${TMPDIR:-/tmp}/torvane-demo-XXXXXX")"
cp "$cache/samples/messi5.jpg" "$cache/samples/person_multi_det.jpg" "$demo/"
cat >"$demo/session.json" <<'EOF'
{"schemaVersion": 1, "session": "Demo track day", "annotationProvenance": "Demo landmarks placed by hand; provisional.",
 "pairs": [
  {"id": "A001", "file": "messi5.jpg", "riders": [
    {"role": "subject", "rider": "Rider A", "panel": {"x": 0, "y": 0, "width": 548, "height": 342},
     "crop": {"x": 150, "y": 0, "width": 260, "height": 342},
     "annotations": [{"name": "left_knee", "point": {"x": 250, "y": 250}, "uncertaintyPixels": 8}], "annotationNote": ""},
    {"role": "reference", "rider": "Rider B", "file": "person_multi_det.jpg",
     "panel": {"x": 0, "y": 0, "width": 416, "height": 416}, "crop": {"x": 215, "y": 80, "width": 90, "height": 220},
     "annotations": [], "annotationNote": ""}]},
  {"id": "A002", "file": "missing.jpg", "riders": [
    {"role": "subject", "rider": "Rider C", "panel": {"x": 0, "y": 0, "width": 100, "height": 100},
     "crop": {"x": 0, "y": 0, "width": 100, "height": 100}, "annotations": [], "annotationNote": ""}]}]}
EOF
"$build/torvane" analyze "$demo/session.json" "$demo/run"
echo "open file://$demo/run/index.html"
