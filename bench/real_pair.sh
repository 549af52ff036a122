#!/usr/bin/env bash
# The real fisheye pair in ../shared/data/real/: the image circle of each
# photo (centre, radius, share of the rim seen, residual, time), a lens record
# for each eye made from it, and the alignment of the pair with those records.
#   bench/real_pair.sh [PROJECTION] [FOV]   (default: equidistant 180)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${VISTEREO_BUILD:-$root/build}"
cli="$build/vistereo-cli"
real="$root/../shared/data/real"
projection="${1:-equidistant}"
fov="${2:-180}"
if [ ! -x "$cli" ]; then
  echo "Build first: bash scripts/setup.sh" >&2
  exit 1
fi
work="$build/bench-real"
rm -rf "$work"
mkdir -p "$work/input"
ln -s "$real/001L.JPG" "$work/input/001L.JPG"
ln -s "$real/001R.JPG" "$work/input/001R.JPG"
for eye in L R; do
  start=$(date +%s%N)
  "$cli" lens detect -C "$work/input" --json "001$eye.JPG"
  echo "  001$eye.JPG: $(( ($(date +%s%N) - start) / 1000000 )) ms"
  "$cli" lens add -C "$work" "real $eye" --projection "$projection" --fov "$fov" --detect "input/001$eye.JPG" >/dev/null
done
"$cli" lens list -C "$work"
"$cli" align -C "$work" --left-lens "real L" --right-lens "real R" --left 001L.JPG --right 001R.JPG
