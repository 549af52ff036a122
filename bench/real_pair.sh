#!/usr/bin/env bash
# The real fisheye pair of the shared test data (Sony body, manual circular
# fisheye, 4000 x 6000 portrait, circles cut by the sensor's sides, no lens
# record): aligned with each usual projection and field of view, then
# converted with the best one and checked.
#   bash bench/real_pair.sh [--threads N] [--height N]
#
# The lens records: the image circles were measured on the photographs
# themselves (light begins where the gray level, smoothed with a Gaussian of
# 3 px, first exceeds 30 scanning inward along rays from the frame's centre,
# 0.25 degrees apart; the rays whose rim lies inside the frame, 48 % of the
# rim; a least-squares circle through the rim points, refitted without those
# beyond three robust deviations): left centre (2012.4, 3040.7), right
# (1978.4, 2971.4), radius 2604 px in both, residual 1.4 and 1.7 px RMS.
# A lower or a higher level (15, 60) moves the centres by up to 11 px and the
# radius by 25 px: the rim is soft and coloured. The field of view the rim
# stands for is not known; each candidate sets the radius for 90 degrees
# from the rim's radius and its law. The best candidate is the one whose
# fit leaves the least residual off the epipolar planes among those that
# keep at least 75 % of the matches as inliers (a poor lens model can keep
# its residual low by dropping the matches it does not fit).
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
mkdir -p "$work/input" "$work/output"
ln -sf "$data/001L.JPG" "$work/input/L.jpg"
ln -sf "$data/001R.JPG" "$work/input/R.jpg"

rim=2604
left_axis="2012 3041"
right_axis="1978 2971"

# One record: NAME SINE_K RADIUS_FOR_90_DEGREES MAPPING_KIND AXIS_X AXIS_Y
record() {
  printf '%s\r\n\r\n%s\r\n' "$1" "$2"
  for _ in $(seq 15); do printf '\r\n'; done
  printf '3\r\n%s\r\n%s\r\n%s\r\n%s\r\n1\r\n' "$3" "$4" "$5" "$6"
}
# The radius for 90 degrees of a law whose rim (half the field of view) lies at $rim.
radius90() {  # LAW FOV
  awk -v law="$1" -v fov="$2" -v rim="$rim" 'BEGIN {
    half = fov / 2 * 3.14159265358979 / 180
    if (law == "equisolid") printf "%d", rim * sin(3.14159265358979 / 4) / sin(half / 2)
    else if (law == "equidistant") printf "%d", rim * (3.14159265358979 / 2) / half
    else printf "%d", rim / sin(half) }'
}
# Writes Vistereo.ini with the left and the right record of one candidate.
candidate() {  # LAW FOV
  local k kind r
  case "$1" in
    equisolid) kind=1; k="" ;;
    equidistant) kind=2; k="0.01" ;;  # sin(0.01 theta): equidistant to 1 part in 40000 at 90 degrees
    orthographic) kind=0; k="" ;;
  esac
  r="$(radius90 "$1" "$2")"
  {
    record "left" "$k" "$r" "$kind" $left_axis
    record "right" "$k" "$r" "$kind" $right_axis
  } > "$work/Vistereo.ini"
  echo "$r"
}

field() { grep -o "\"$1\": [^,}]*" | head -1 | sed 's/.*: //'; }
spread() { grep -o "\"$1\": {[^}]*}" | sed 's/.*{//; s/"rms": //; s/, "p95": / \/ /; s/, "max": .*//'; }

echo "real pair: $(basename "$data")/001L.JPG + 001R.JPG, load average $(cut -d' ' -f1-2 /proc/loadavg)"
printf '%-12s %4s %5s | %5s %13s %8s %9s %14s %14s %14s %7s\n' law fov R90 ok inliers/match "epi rms" "baseline" "misalign'" "far vert'" "near parallax'" seconds
best=""
best_score=999
for law in equisolid equidistant orthographic; do
  for fov in 170 180 190 200 210 220; do
    [ "$law" = orthographic ] && [ "$fov" != 180 ] && continue
    [ "$law" = equisolid ] && [ "$fov" = 170 ] && continue
    r="$(candidate "$law" "$fov")"
    json="$("$cli" align -C "$work" --left-lens left --right-lens right --threads "$threads" --json 2>/dev/null || true)"
    if [ "$(echo "$json" | field ok)" != "true" ]; then
      printf '%-12s %4s %5s | %5s %s\n' "$law" "$fov" "$r" no "$(echo "$json" | field reason)"
      continue
    fi
    epi="$(echo "$json" | spread epipolar_residual_arcmin | cut -d' ' -f1)"
    baseline="$(echo "$json" | grep -o '"baseline": \[[^]]*\]' | sed 's/.*\[//; s/\]//; s/ //g')"
    observed="$(echo "$json" | field baseline_observed)"
    printf '%-12s %4s %5s | %5s %6s/%-6s %8s %22s %14s %14s %14s %7s\n' "$law" "$fov" "$r" yes \
      "$(echo "$json" | field inliers)" "$(echo "$json" | field matches)" "$epi" \
      "$([ "$observed" = true ] && echo "$baseline" || echo prior)" \
      "$(echo "$json" | spread misalignment_arcmin)" "$(echo "$json" | spread far_vertical_arcmin)" \
      "$(echo "$json" | spread parallax_vertical_arcmin)" "$(echo "$json" | field seconds)"
    if awk -v a="$epi" -v b="$best_score" -v i="$(echo "$json" | field inliers)" -v m="$(echo "$json" | field matches)" \
      'BEGIN { exit !(a < b && i >= 0.75 * m) }'; then best="$law $fov"; best_score="$epi"; fi
  done
done
echo "(epi: the fit's residual off the epipolar planes, arcmin RMS; misalign, far vert, near parallax: RMS / 95th percentile, arcmin)"
[ -n "$best" ] || { echo "no candidate aligned the pair" >&2; exit 1; }

echo
echo "best fit: $best"
candidate $best > /dev/null
"$cli" align -C "$work" --left-lens left --right-lens right --threads "$threads"
start=$(date +%s.%N)
"$cli" convert -C "$work" --left-lens left --right-lens right --auto-align --height "$height" \
  --threads "$threads" --quiet -o real.jpg
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" -v h="$height" 'BEGIN { printf "convert --auto-align to %d x %d: %.2f s\n", 2 * h, h, e - s }'
"$cli" check -C "$work/output" --threads "$threads" real.jpg
