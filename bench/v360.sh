#!/usr/bin/env bash
# Our resampling against FFmpeg's v360 filter on the same equisolid fisheye
# (interp_bench's 3000 x 2000 picture, its 1980 x 1980 circle given to v360 as a
# 180-degree equisolid square) at the same 2048 x 2048 half.
#
# v360's grid and lens arithmetic sit a fraction of a pixel away from ours (its
# half-equirectangular pixels are offset by a quarter pixel, and it works in
# single precision, which blurs the angle near the axis), so against our truth
# it scores on geometry rather than resampling. It is therefore scored against a
# truth taken where it actually looks: v360 converts a ramp image whose pixels
# hold their own positions, and interp_bench samples the panorama at the
# positions that come out.
#   bash bench/v360.sh            (needs ffmpeg; Debian package ffmpeg)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VISTEREO_BUILD:-$root/build}"
bench="$build/bench/interp_bench"
command -v ffmpeg >/dev/null || { echo "ffmpeg is not installed (apt-get install ffmpeg)" >&2; exit 1; }
[ -x "$bench" ] || { echo "Build first: bash scripts/setup.sh" >&2; exit 1; }
work="$build/bench-data/v360"
mkdir -p "$work"
"$bench" --write "$work"
v360="v360=input=equisolid:output=hequirect:ih_fov=180:iv_fov=180:w=2048:h=2048"
ffmpeg -hide_banner -loglevel error -y -i "$work/ramp.png" \
  -vf "format=gbrp16le,$v360:interp=linear,format=rgb48le" -frames:v 1 "$work/ramp_v360.png"
for mode in linear cubic lanczos; do
  start=$(date +%s.%N)
  ffmpeg -hide_banner -loglevel error -y -i "$work/circle.png" \
    -vf "format=gbrp,$v360:interp=$mode,format=rgb24" -frames:v 1 "$work/v360_$mode.png"
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" -v m="$mode" 'BEGIN { printf "v360 %-8s one eye %.2f s (decode, remap, encode)\n", m, e - s }'
done
echo "v360 against the truth at our grid (geometry and resampling):"
"$bench" --score "$work"/v360_{linear,cubic,lanczos}.png | tail -n 3
echo "v360 against the truth where it looks (resampling alone):"
"$bench" --sampled "$work/ramp_v360.png" --score "$work"/v360_{linear,cubic,lanczos}.png | tail -n 3
