#!/usr/bin/env bash
# The real fisheye pair of the shared test data (Sony body, manual circular
# fisheye, 4000 x 6000 portrait, circles cut by the sensor's sides, no lens
# record): the image circle of each photograph found by `lens detect`, a lens
# record for each eye made from it by `lens add` for every usual projection
# and field of view, the pair aligned with each, then converted with the best
# one and checked.
#   bash bench/real_pair.sh [--threads N] [--height N]
#
# The best candidate is the one whose fit leaves the least residual off the
# epipolar planes among those that keep at least 75 % of the matches as
# inliers (a poor lens model can keep its residual low by dropping the
# matches it does not fit).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VISTEREO_BUILD:-$root/build}"
cli="$build/vistereo-cli"
data="$root/../shared/data/real"
threads=0
height=2048
while [ $# -gt 0 ]; do
  case "$1" in
    --threads) threads="$2"; shift 2 ;;
    --height) height="$2"; shift 2 ;;
    *) echo "usage: bash bench/real_pair.sh [--threads N] [--height N]" >&2; exit 2 ;;
  esac
done
if [ ! -x "$cli" ]; then echo "Build first: bash scripts/setup.sh" >&2; exit 1; fi
if [ ! -f "$data/001L.JPG" ]; then echo "no real pair in $data" >&2; exit 1; fi
work="$build/bench-real"
rm -rf "$work"
mkdir -p "$work/input" "$work/output"
ln -s "$data/001L.JPG" "$work/input/L.jpg"
ln -s "$data/001R.JPG" "$work/input/R.jpg"

field() { grep -o "\"$1\": [^,}]*" | head -1 | sed 's/.*: //'; }
spread() { grep -o "\"$1\": {[^}]*}" | sed 's/.*{//; s/"rms": //; s/, "p95": / \/ /; s/, "max": .*//'; }

echo "real pair: 001L.JPG + 001R.JPG, load average $(cut -d' ' -f1-2 /proc/loadavg)"
declare -A circle
for eye in L R; do
  start=$(date +%s%N)
  json="$("$cli" lens detect -C "$work/input" --json "$eye.jpg")"
  echo "  image circle of 001$eye.JPG: $json ($(( ($(date +%s%N) - start) / 1000000 )) ms)"
  centre="$(echo "$json" | grep -o '"centre": \[[^]]*\]' | sed 's/.*\[//; s/\]//; s/ //g')"
  circle[$eye]="$(awk -F, -v r="$(echo "$json" | field radius)" '{ printf "%d,%d,%d", $1 + 0.5, $2 + 0.5, r + 0.5 }' <<<"$centre")"
done

# Writes Vistereo.ini with the left and the right record of one candidate.
candidate() {  # PROJECTION FOV
  rm -f "$work/Vistereo.ini"
  "$cli" lens add -C "$work" left --projection "$1" --fov "$2" --circle "${circle[L]}" >/dev/null
  "$cli" lens add -C "$work" right --projection "$1" --fov "$2" --circle "${circle[R]}" >/dev/null
}

printf '%-14s %4s | %5s %13s %8s %22s %14s %14s %14s %7s\n' projection fov ok inliers/match "epi rms" "baseline" \
  "misalign'" "far vert'" "near parallax'" seconds
best=""
best_score=999
for projection in equidistant equisolid stereographic; do
  for fov in 170 180 190 200 210 220; do
    candidate "$projection" "$fov"
    json="$("$cli" align -C "$work" --left-lens left --right-lens right --threads "$threads" --json 2>/dev/null || true)"
    if [ "$(echo "$json" | field ok)" != "true" ]; then
      printf '%-14s %4s | %5s %s\n' "$projection" "$fov" no "$(echo "$json" | field reason)"
      continue
    fi
    epi="$(echo "$json" | spread epipolar_residual_arcmin | cut -d' ' -f1)"
    baseline="$(echo "$json" | grep -o '"baseline": \[[^]]*\]' | sed 's/.*\[//; s/\]//; s/ //g')"
    observed="$(echo "$json" | field baseline_observed)"
    printf '%-14s %4s | %5s %6s/%-6s %8s %22s %14s %14s %14s %7s\n' "$projection" "$fov" yes \
      "$(echo "$json" | field inliers)" "$(echo "$json" | field matches)" "$epi" \
      "$([ "$observed" = true ] && echo "$baseline" || echo prior)" \
      "$(echo "$json" | spread misalignment_arcmin)" "$(echo "$json" | spread far_vertical_arcmin)" \
      "$(echo "$json" | spread parallax_vertical_arcmin)" "$(echo "$json" | field seconds)"
    if awk -v a="$epi" -v b="$best_score" -v i="$(echo "$json" | field inliers)" -v m="$(echo "$json" | field matches)" \
      'BEGIN { exit !(a < b && i >= 0.75 * m) }'; then best="$projection $fov"; best_score="$epi"; fi
  done
done
echo "(epi: the fit's residual off the epipolar planes, arcmin RMS; misalign, far vert, near parallax: RMS / 95th percentile, arcmin)"
[ -n "$best" ] || { echo "no candidate aligned the pair" >&2; exit 1; }

echo
echo "best fit: $best"
candidate $best
"$cli" lens show -C "$work" left
"$cli" align -C "$work" --left-lens left --right-lens right --threads "$threads"
start=$(date +%s.%N)
"$cli" convert -C "$work" --left-lens left --right-lens right --auto-align --height "$height" \
  --threads "$threads" --quiet -o real.jpg
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" -v h="$height" 'BEGIN { printf "convert --auto-align to %d x %d: %.2f s\n", 2 * h, h, e - s }'
"$cli" check -C "$work/output" --threads "$threads" real.jpg
