#!/usr/bin/env bash
# Vistereo against FFmpeg's projection filter on the same job: a 6000 x 4000
# JPEG stereo pair of equisolid fisheyes into one 8192 x 4096 side-by-side
# half-equirectangular JPEG, the right eye rotated. Runs alternate; prints the
# median wall time and peak memory of each and their ratios, Vistereo's render
# throughput, and the bare decode + encode time of the same files.
#   bash bench/compare.sh [--interp bilinear|bicubic|lanczos] [RUNS]
#                                       (needs ffmpeg and /usr/bin/time:
#                                        apt-get install ffmpeg time)
# --interp sets both tools' resampling; v360 calls bilinear "linear" and
# bicubic "cubic".
source "$(dirname "$0")/common.sh"
interp=bilinear
if [ "${1:-}" = "--interp" ]; then interp="$2"; shift 2; fi
case "$interp" in
  bilinear) v360_interp=linear ;;
  bicubic) v360_interp=cubic ;;
  lanczos) v360_interp=lanczos ;;
  *) echo "unknown interpolation $interp" >&2; exit 2 ;;
esac
runs="${1:-5}"
for tool in ffmpeg /usr/bin/time; do
  if ! command -v "$tool" >/dev/null; then
    echo "missing $tool: install it with 'apt-get install ffmpeg time'" >&2
    exit 1
  fi
done
cores=$(nproc)
log="$work/compare.log"
: > "$log"

# The right eye is turned back by the rig's known misalignment (2 degrees of
# yaw, -1 of pitch, 1.5 of roll), which Vistereo derives from A and B.
# v360 spreads its input field over the whole frame, so the 6000 x 4000
# frames are first cut to the 4000 x 4000 square around the image circle.
filter="[0:v]crop=ih:ih,v360=input=equisolid:output=hequirect:ih_fov=180:iv_fov=180:w=4096:h=4096:interp=$v360_interp[l];\
[1:v]crop=ih:ih,v360=input=equisolid:output=hequirect:ih_fov=180:iv_fov=180:yaw=-2:pitch=1:roll=-1.5:w=4096:h=4096:interp=$v360_interp[r];\
[l][r]hstack=inputs=2"
ffmpeg_cmd=(ffmpeg -nostdin -loglevel error -y -i "$work/input/L.jpg" -i "$work/input/R.jpg"
  -filter_complex "$filter" -frames:v 1 -q:v 3 "$work/output/ffmpeg.jpg")
vistereo_cmd=("$cli" convert -C "$work" --left-lens '#1' --right-lens '#1' --points "$points"
  --output vistereo.jpg --interp "$interp" --quiet --timing)

measure() {  # name, command...: appends "name wall_s peak_kib" to the log
  local name="$1"; shift
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" > "$work/stdout.txt"
  echo "$name $(cat "$work/time.txt")" >> "$log"
  if [ "$name" = vistereo ]; then cat "$work/stdout.txt" >> "$work/vistereo-stages.txt"; fi
}

: > "$work/vistereo-stages.txt"
echo "warming up (one run each) ..." >&2
"${vistereo_cmd[@]}" > /dev/null
"${ffmpeg_cmd[@]}"
for i in $(seq "$runs"); do
  echo "run $i of $runs ..." >&2
  measure vistereo "${vistereo_cmd[@]}"
  measure ffmpeg "${ffmpeg_cmd[@]}"
done

floor=$("$build/bench/codec_floor" "$work/input/L.jpg" "$work/input/R.jpg" "$work/output/vistereo.jpg" 3)

awk -v cores="$cores" -v floorline="$floor" -v stages="$work/vistereo-stages.txt" '
function median(arr, n,   i, j, t) {
  for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (arr[j] < arr[i]) { t = arr[i]; arr[i] = arr[j]; arr[j] = t }
  return (n % 2) ? arr[(n + 1) / 2] : (arr[n / 2] + arr[n / 2 + 1]) / 2
}
{ n[$1]++; wall[$1, n[$1]] = $2; mem[$1, n[$1]] = $3 }
END {
  for (tool in n) {
    for (i = 1; i <= n[tool]; i++) { w[i] = wall[tool, i]; m[i] = mem[tool, i] }
    mw[tool] = median(w, n[tool]); mm[tool] = median(m, n[tool])
    printf "%-9s median wall %.2f s, median peak memory %.0f MiB (%d runs)\n", tool, mw[tool], mm[tool] / 1024, n[tool]
  }
  printf "ratios   wall %.3f x FFmpeg, peak memory %.3f x FFmpeg\n", mw["vistereo"] / mw["ffmpeg"], mm["vistereo"] / mm["ffmpeg"]
  k = 0
  while ((getline line < stages) > 0) {
    if (line ~ /^read /) {
      split(line, f, /[ ,]+/)
      k++; render[k] = f[9] + f[13]
    }
  }
  r = median(render, k)
  printf "vistereo render both halves %.3f s (median): %.1f output Mpx/s, %.1f Mpx/s per core (%d cores)\n", r, 33.554432 / r, 33.554432 / r / cores, cores
  split(floorline, fl, /floor /); split(fl[2], fv, / /)
  printf "bare decode + encode: %s\n", floorline
  printf "render / (decode + encode) = %.2f\n", r / fv[1]
}' "$log"
