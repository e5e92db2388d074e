#!/usr/bin/env bash
# Rebuilds the rider development photos from the public repositories they come from.
# usage: scripts/rider-dev-photos.sh OUT_DIR GIT_DIR...
# Each GIT_DIR is a fetched repository (bare git directory); every photo is looked up in each of them by commit.
# The photos are not ours: keep OUT_DIR outside the repository and never commit them.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 OUT_DIR GIT_DIR..." >&2
  exit 2
fi
out=$1
shift
gitDirs=("$@")
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# file | width x height | commit | path | conversion (copy, webp, or trim:X,Y for a transparent canvas)
photos=$(cat <<'TABLE'
rB01.jpg|640x485|78ae6177c57ae24b6d2d530cacd9e7e3e696b5e4|content/news/2005/02/19/trackday-at-california-speedway/CaliforniaSpeedway.jpeg|copy
rB02.jpg|640x503|78ae6177c57ae24b6d2d530cacd9e7e3e696b5e4|content/news/2005/08/19/trackday-at-buttonwillow/CRW_3401.jpeg|copy
rB03.jpg|640x390|78ae6177c57ae24b6d2d530cacd9e7e3e696b5e4|content/news/2005/05/05/trackday-and-ama-race-at-fontana/Speedway_Horseshoe2.jpeg|copy
rB04.jpg|640x399|78ae6177c57ae24b6d2d530cacd9e7e3e696b5e4|content/news/2005/05/05/trackday-and-ama-race-at-fontana/Speedway_Horseshoe.jpeg|copy
rB05.jpg|640x410|78ae6177c57ae24b6d2d530cacd9e7e3e696b5e4|content/news/2005/05/05/trackday-and-ama-race-at-fontana/Speedway_Turn9.jpeg|copy
rB06.jpg|4096x2733|0db3360c094b1061c21119f2c394d6203cff0e89|posts/my-first-track-day/action_shot.jpg|copy
rB07.jpg|1440x960|4fb0af2e02f89e650be136ed547c671d4bcffd6f|img-news/blog-3.jpg|copy
rB08.jpg|1000x667|4fb0af2e02f89e650be136ed547c671d4bcffd6f|img/ssk.jpg|copy
rB09.jpg|1176x588|4fb0af2e02f89e650be136ed547c671d4bcffd6f|img/news7.jpg|copy
rB10.jpg|1347x897|869c6035534ca4f20970fb4570a0699ce3d8804f|src/Images/Sector9.png|trim:267,97
rB11.jpg|1347x897|869c6035534ca4f20970fb4570a0699ce3d8804f|src/Images/Sector12.png|trim:266,94
rB12.jpg|1344x891|869c6035534ca4f20970fb4570a0699ce3d8804f|src/Images/Sector4.png|trim:266,99
rB13.jpg|1349x898|869c6035534ca4f20970fb4570a0699ce3d8804f|src/Images/Sector8.png|trim:265,97
rB14.jpg|1600x900|acb777e3d6e7e0db19149d3e7d6e389e4aa6d710|images/iomtt-2022-best-moments-08 - Copy.jpg|copy
rB15.jpg|1536x861|4fb0af2e02f89e650be136ed547c671d4bcffd6f|img-news/news-1.jpg|webp
rB16.jpg|1280x720|4fb0af2e02f89e650be136ed547c671d4bcffd6f|img-news/new4.jpg|copy
TABLE
)

while IFS='|' read -r file size commit path conversion; do
  source=""
  for dir in "${gitDirs[@]}"; do
    if git --git-dir="$dir" cat-file -e "$commit:$path" 2>/dev/null; then
      source=$dir
      break
    fi
  done
  if [ -z "$source" ]; then
    echo "$file: $commit:$path is in none of the given git directories" >&2
    exit 1
  fi
  blob="$work/blob"
  git --git-dir="$source" show "$commit:$path" >"$blob"
  target="$out/$file"
  case "$conversion" in
    copy)
      cp "$blob" "$target"
      ;;
    webp)
      mv "$blob" "$work/in.webp"
      vips copy "$work/in.webp" "$target[Q=95]"
      ;;
    trim:*)
      # The photo sits opaque inside a transparent canvas: cut it out, put white behind any edge alpha.
      offset=${conversion#trim:}
      mv "$blob" "$work/in.png"
      vips crop "$work/in.png" "$work/cut.v" "${offset%,*}" "${offset#*,}" "${size%x*}" "${size#*x}"
      vips flatten "$work/cut.v" "$target[Q=95]" --background 255
      ;;
  esac
  actual="$(vipsheader -f width "$target")x$(vipsheader -f height "$target")"
  if [ "$actual" != "$size" ]; then
    echo "$file: expected $size pixels, got $actual" >&2
    exit 1
  fi
  echo "$target"
done <<<"$photos"
