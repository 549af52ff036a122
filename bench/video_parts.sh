#!/usr/bin/env bash
# A take converted in parts against one conversion of it: the processor time
# of N parts (each its own process, one after another) plus their join,
# against one run over the whole range, and the fixed cost a part pays
# whatever its length. Part 1 synchronises by the sound and the others are
# handed its offset and alignment with --alignment-from part-1.mp4, as the
# docs advise; VIDEO_PARTS_HANDOVER=0 has every part synchronise itself over
# the whole range instead (the way before the offset was handed over). The
# fixed cost is measured on parts of two frames: one at the take's start
# (start-up, opening, the plans), one about half a keyframe interval past a
# keyframe in the middle (adding the decoding from the keyframe before the
# cut), and the middle one again synchronising itself (adding the sound's
# synchronisation over the range, which a handed part does not pay). The
# take (made once by make_test_video, cached in build/bench-data/parts, its
# camera files re-encoded with a keyframe every 2 s as cameras write them) is
# SECONDS long at WIDTH x HEIGHT, 30 fps.
#   bash bench/video_parts.sh [PARTS] [SECONDS] [WIDTH] [HEIGHT]   (default 3 60 1280 960; needs ffmpeg, /usr/bin/time)
# VIDEO_PARTS_RUNS=R runs each way R times (default 2), taking turns; the
# figures are the medians.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VISTEREO_BUILD:-$root/build}"
cli="$build/vistereo-cli"
parts="${1:-3}" seconds="${2:-60}" width="${3:-1280}" height="${4:-960}"
runs="${VIDEO_PARTS_RUNS:-2}"
work="$build/bench-data/parts-${width}x${height}-${seconds}s"
command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null && [ -x /usr/bin/time ] ||
  { echo "needs ffmpeg, ffprobe and /usr/bin/time: apt-get install ffmpeg time" >&2; exit 1; }
[ -x "$cli" ] && [ -x "$build/bench/make_test_video" ] || { echo "Build first" >&2; exit 1; }
mkdir -p "$work/input" "$work/output"
if [ ! -f "$work/input/R.mp4" ] || [ ! -f "$work/points.txt" ]; then
  echo "making two $width x $height camera files of $seconds s at 30 fps in $work/input ..." >&2
  "$build/bench/make_test_video" "$work/input" "$width" "$height" 30 "$seconds" --preset veryfast > "$work/points.txt"
  for side in L R; do  # a keyframe every 2 s
    ffmpeg -v error -y -i "$work/input/$side.mp4" -c:v libx264 -preset veryfast -crf 18 -g 60 -c:a copy "$work/input/$side-g.mp4"
    mv "$work/input/$side-g.mp4" "$work/input/$side.mp4"
  done
fi
# The lens registry: #1 an equisolid lens (its name, 17 empty text lines, the six integers).
{ printf 'Equisolid circular fisheye\r\n'; printf '\r\n%.0s' {1..17}; printf '%s\r\n' 0 0 1 0 0 0; } > "$work/Vistereo.ini"
points="$(cat "$work/points.txt")"
base=("$cli" video -C "$work" --left-lens '#1' --right-lens '#1' L.mp4 R.mp4 --quiet)
ours=("${base[@]}" --points "$points")

cpu() {  # command...: its user + system seconds
  /usr/bin/time -f "%U %S" -o "$work/time.txt" "$@" > /dev/null 2> "$work/stderr.txt" || {
    echo "failed: $*" >&2; tail -5 "$work/stderr.txt" >&2; exit 1; }
  awk '{ printf "%.2f", $1 + $2 }' "$work/time.txt"
}
frames="$(ffprobe -v error -count_packets -select_streams v -show_entries stream=nb_read_packets -of csv=p=0 "$work/input/L.mp4")"
handed=("${ours[@]}")  # parts 2 to N
[ "${VIDEO_PARTS_HANDOVER:-1}" = 1 ] && handed=("${base[@]}" --alignment-from "$work/output/part-1.mp4")
# Parts of two frames (the range is a few frames shorter than the file): the
# first, and the one whose cut lies about 30 frames past the keyframe nearest
# the take's middle (the camera files have one every 60 frames). Their output
# has a keyframe every 2 frames, so that the range cuts into parts of two.
tiny=$((frames / 2)) middle=$(((60 * (frames / 120) + 30) / 2 + 1))
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
single_all=() parts_all=() join_all=() start_all=() middle_all=() self_all=()
for run in $(seq "$runs"); do
  single_all+=("$(cpu "${ours[@]}" -o single.mp4)")
  total="$(cpu "${ours[@]}" --segment "1/$parts" -o part-1.mp4)"
  for k in $(seq 2 "$parts"); do
    t="$(cpu "${handed[@]}" --segment "$k/$parts" -o "part-$k.mp4")"
    total="$(awk -v a="$total" -v b="$t" 'BEGIN { printf "%.2f", a + b }')"
  done
  parts_all+=("$total")
  join_all+=("$(cpu "$cli" video-join -o "$work/output/joined.mp4" --quiet $(seq -f "$work/output/part-%g.mp4" 1 "$parts"))")
  echo "run $run: one run ${single_all[-1]} CPU s; $parts parts ${parts_all[-1]} + join ${join_all[-1]}" >&2
  # Parts of two frames: what every part pays whatever its length.
  start_all+=("$(cpu "${handed[@]}" --keyframes 2 --segment "1/$tiny" -o fixed.mp4)")
  middle_all+=("$(cpu "${handed[@]}" --keyframes 2 --segment "$middle/$tiny" -o fixed.mp4)")
  self_all+=("$(cpu "${ours[@]}" --keyframes 2 --segment "$middle/$tiny" -o fixed.mp4)")
  echo "run $run: parts of two frames: at the start ${start_all[-1]}, in the middle ${middle_all[-1]}," \
       "in the middle synchronising itself ${self_all[-1]} CPU s" >&2
done
single="$(median "${single_all[@]}")" partsum="$(median "${parts_all[@]}")" join="$(median "${join_all[@]}")"
start="$(median "${start_all[@]}")" middle="$(median "${middle_all[@]}")" self="$(median "${self_all[@]}")"
handing="$([ "${VIDEO_PARTS_HANDOVER:-1}" = 1 ] && echo 1 || echo 0)"
fixed="$([ "$handing" = 1 ] && echo "$middle" || echo "$self")"
awk -v s="$single" -v p="$partsum" -v j="$join" -v f="$fixed" -v n="$parts" -v fr="$frames" -v a="$start" \
    -v m="$middle" -v y="$self" -v h="$handing" 'BEGIN {
  printf "take: %d frames; parts %s; one run %.2f CPU s; %d parts %.2f + join %.2f = %.2f CPU s: %.3f x one run\n", fr,
         h ? "2 to N handed part 1'"'"'s offset and alignment" : "each synchronising itself", s, n, p, j, p + j, (p + j) / s
  printf "a part of two frames: %.2f CPU s at the start (start-up, opening, plans); %.2f in the middle (+%.2f decoding from the keyframe); %.2f synchronising itself (+%.2f the sound)\n",
         a, m, m - a, y, y - m
  printf "the fixed cost of a part as run here: %.2f CPU s; (n - 1) of them: %.2f CPU s, %.1f %% of one run; the rest of the difference: %.2f CPU s\n",
         f, (n - 1) * f, 100 * (n - 1) * f / s, p + j - s - (n - 1) * f
}'
