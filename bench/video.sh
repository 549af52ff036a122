#!/usr/bin/env bash
# Stereo video against its floor and against FFmpeg: two 3840 x 2160 H.264
# camera files of 10 s at 30 fps made from the panorama (cached in
# build/bench-data/video), converted to one 4096 x 2048 H.264 VR180 video
#   (a) floor: x264 alone (preset medium, crf 23) encoding an already-made
#       4096 x 2048 stream, read raw from a file;
#   (b) FFmpeg's v360 + hstack doing the same conversion with the same
#       encoder settings (and the same sound copied);
#   (c) vistereo-cli video with the same encoder settings;
#   (d) the two camera files decoded alone (what (b) and (c) both pay);
# then vistereo-cli video at its own defaults. Prints frames per second, the
# ratios, peak memory, the default's speed and bitrate, and the machine's load.
#   bash bench/video.sh [--presets]   (needs ffmpeg and /usr/bin/time)
# VIDEO_BENCH_SECONDS=S measures the first S seconds of the take only (all
# four commands alike, at the take's known offset), for a busy machine; the
# default is the whole take, synchronised by its sound. (a), (b) and (c) run
# VIDEO_BENCH_RUNS times each (5 unless told), taking turns; the figures are
# each one's median run, and every run's times and ratios are listed.
# --presets also encodes the first 3 s of the made stream with several x264
# presets and rate factors: speed, bitrate and PSNR against the made stream.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VISTEREO_BUILD:-$root/build}"
cli="$build/vistereo-cli"
work="$build/bench-data/video"
for tool in ffmpeg ffprobe /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool: apt-get install ffmpeg time" >&2; exit 1; }
done
[ -x "$cli" ] && [ -x "$build/bench/make_test_video" ] || { echo "Build first: bash scripts/setup.sh" >&2; exit 1; }
mkdir -p "$work/input" "$work/output"
if [ ! -f "$work/input/R.mp4" ] || [ ! -f "$work/points.txt" ]; then
  echo "making two 3840 x 2160 camera files of 10 s at 30 fps in $work/input ..." >&2
  "$build/bench/make_test_video" "$work/input" 3840 2160 30 10 > "$work/points.txt"
fi
points="$(cat "$work/points.txt")"
printf 'Equisolid circular fisheye\r\n' > "$work/Vistereo.ini"
for _ in $(seq 17); do printf '\r\n' >> "$work/Vistereo.ini"; done
printf '0\r\n0\r\n1\r\n0\r\n0\r\n0\r\n' >> "$work/Vistereo.ini"
load() { cut -d' ' -f1-3 /proc/loadavg; }
echo "load average before: $(load) ($(nproc) cores)"

measure() {  # name, command...: prints "wall_s peak_kib cpu_s"
  local name="$1"; shift
  /usr/bin/time -f "%e %M %U %S" -o "$work/time-$name.txt" "$@" > "$work/stdout-$name.txt" 2> "$work/stderr-$name.txt" || {
    echo "$name failed:" >&2; tail -5 "$work/stderr-$name.txt" >&2; exit 1; }
  awk '{ print $1, $2, $3 + $4 }' "$work/time-$name.txt"
}
frames_of() { ffprobe -v error -select_streams v -show_entries stream=nb_frames -of default=nw=1:nk=1 "$1" | head -1; }
bitrate_of() { ffprobe -v error -select_streams v -show_entries stream=bit_rate -of default=nw=1:nk=1 "$1" | head -1; }

ours=("$cli" video -C "$work" --left-lens '#1' --right-lens '#1' --points "$points" L.mp4 R.mp4 --quiet)
if [ -n "${VIDEO_BENCH_SECONDS:-}" ]; then
  # A few seconds of sound may not pin the offset down: it is the take's own.
  ours+=(--duration "$VIDEO_BENCH_SECONDS" --offset -0.2)
  echo "measuring the first $VIDEO_BENCH_SECONDS s of the take only" >&2
fi

# The made stream: our conversion at a near-lossless setting, decoded to raw
# 4:2:0, one per length measured (the whole take's, or the first S seconds').
made="made-${VIDEO_BENCH_SECONDS:-all}"
if [ ! -f "$work/$made.yuv" ]; then
  echo "making the 4096 x 2048 stream for the floor ..." >&2
  "${ours[@]}" -o "$made.mp4" --crf 8 --preset ultrafast
  ffmpeg -nostdin -v error -y -i "$work/output/$made.mp4" -f rawvideo -pix_fmt yuv420p "$work/$made.yuv.part"
  mv "$work/$made.yuv.part" "$work/$made.yuv"
fi
made_frames=$(frames_of "$work/output/$made.mp4")
raw=(-f rawvideo -pix_fmt yuv420p -s 4096x2048 -r 30)

if [ "${1:-}" = "--presets" ]; then
  echo "x264 on the first 3 s of the made stream: preset, crf, frames per second, CPU s per frame, Mbit/s, PSNR (dB) against it"
  for preset in veryfast faster fast medium; do
    for crf in 18 20 23; do
      read -r s _ cpu < <(measure preset ffmpeg -nostdin -v error -y "${raw[@]}" -i "$work/$made.yuv" -frames:v 90 \
        -c:v libx264 -preset "$preset" -crf "$crf" -f mp4 "$work/output/preset.mp4")
      psnr=$(ffmpeg -nostdin -v info -i "$work/output/preset.mp4" "${raw[@]}" -i "$work/$made.yuv" \
        -lavfi "[0:v][1:v]psnr" -frames:v 90 -f null - 2>&1 | sed -n 's/.*PSNR.* average:\([0-9.]*\).*/\1/p')
      awk -v p="$preset" -v c="$crf" -v s="$s" -v u="$cpu" -v b="$(bitrate_of "$work/output/preset.mp4")" -v q="$psnr" \
        'BEGIN { printf "%-9s crf %2d  %5.2f fps  %5.3f CPU s/frame  %5.1f Mbit/s  %s dB\n", p, c, 90 / s, u / 90, b / 1e6, q }'
    done
  done
  echo "load average after the presets: $(load)"
  exit 0
fi


# The filter for (b). The right camera starts 0.2 s after the left: its
# stream is cut by the same offset. v360's fisheye field is the 2160 x 2160
# square around the circle.
filter="[0:v]crop=ih:ih,v360=input=equisolid:output=hequirect:ih_fov=180:iv_fov=180:w=2048:h=2048[l];\
[1:v]crop=ih:ih,v360=input=equisolid:output=hequirect:ih_fov=180:iv_fov=180:yaw=-2:pitch=1:roll=-1.5:w=2048:h=2048[r];\
[l][r]hstack=inputs=2[v]"

# (a), (b) and (c) take turns, VIDEO_BENCH_RUNS times (5 unless told), so
# that a slow stretch of the machine falls on all three alike; each is
# quoted by its median run.
runs="${VIDEO_BENCH_RUNS:-5}"
floor_runs=() v360_runs=() ours_runs=()
for run in $(seq "$runs"); do
  echo "run $run of $runs: (a) x264 alone on the made stream ..." >&2
  floor_runs+=("$(measure floor ffmpeg -nostdin -v error -y "${raw[@]}" -i "$work/$made.yuv" \
    -c:v libx264 -preset medium -crf 23 -f mp4 "$work/output/floor.mp4")")
  echo "run $run of $runs: (b) FFmpeg v360 + hstack ..." >&2
  v360_runs+=("$(measure v360 ffmpeg -nostdin -v error -y -ss 0.2 -i "$work/input/L.mp4" -i "$work/input/R.mp4" \
    -filter_complex "$filter" -map "[v]" -map 0:a -c:a copy -frames:v "$made_frames" \
    -c:v libx264 -preset medium -crf 23 "$work/output/v360.mp4")")
  echo "run $run of $runs: (c) vistereo-cli video, same encoder settings ..." >&2
  ours_runs+=("$(measure ours "${ours[@]}" -o ours.mp4 --crf 23 --preset medium)")
  for figures in "${floor_runs[-1]}" "${v360_runs[-1]}" "${ours_runs[-1]}"; do
    [ -n "$figures" ] || exit 1  # measure has said what failed
  done
done
median() { printf '%s\n' "$@" | sort -n -k1,1 | awk '{ run[NR] = $0 } END { print run[int((NR + 1) / 2)] }'; }
read -r floor_s floor_kib floor_cpu <<< "$(median "${floor_runs[@]}")"
read -r v360_s v360_kib v360_cpu <<< "$(median "${v360_runs[@]}")"
read -r ours_s ours_kib ours_cpu <<< "$(median "${ours_runs[@]}")"

echo "(d) decoding the two camera files alone ..." >&2
# The share of every conversion's time no remap can save: both streams
# decoded, one thread each as ours are on this machine, and thrown away.
read -r decode_s _ decode_cpu < <(measure decode ffmpeg -nostdin -v error -threads 1 -ss 0.2 -i "$work/input/L.mp4" \
  -threads 1 -i "$work/input/R.mp4" -map 0:v -map 1:v -frames:v "$made_frames" -f null -)

echo "    vistereo-cli video at its defaults ..." >&2
read -r default_s default_kib default_cpu < <(measure default "${ours[@]}" -o default.mp4)

echo "load average after: $(load)"
frames=$(frames_of "$work/output/ours.mp4")
for ((k = 0; k < runs; k++)); do
  read -r a _ <<< "${floor_runs[k]}"; read -r b _ <<< "${v360_runs[k]}"; read -r c _ <<< "${ours_runs[k]}"
  awk -v k=$((k + 1)) -v a="$a" -v b="$b" -v c="$c" -v f="$frames" -v mf="$made_frames" 'BEGIN {
    printf "run %d: floor %.1f s, v360 %.1f s, ours %.1f s: ours / floor %.3f of its fps, ours / v360 %.3f of its time\n",
      k, a, b, c, (f / c) / (mf / a), (c / f) / (b / mf) }'
done
awk -v f="$frames" -v mf="$made_frames" -v a="$floor_s" -v ak="$floor_kib" -v b="$v360_s" -v bk="$v360_kib" \
    -v bf="$(frames_of "$work/output/v360.mp4")" -v c="$ours_s" -v ck="$ours_kib" -v d="$default_s" -v dk="$default_kib" \
    -v df="$(frames_of "$work/output/default.mp4")" -v br="$(bitrate_of "$work/output/default.mp4")" \
    -v brm="$(bitrate_of "$work/output/ours.mp4")" -v au="$floor_cpu" -v bu="$v360_cpu" -v cu="$ours_cpu" \
    -v du="$default_cpu" -v eu="$decode_cpu" 'BEGIN {
  printf "(a) floor, x264 medium crf 23 alone: %6.2f fps, %6.3f CPU s/frame  (%d frames in %.1f s, peak %d MiB)\n", mf / a, au / mf, mf, a, ak / 1024
  printf "(b) FFmpeg v360 + hstack:           %6.2f fps, %6.3f CPU s/frame  (%d frames in %.1f s, peak %d MiB)\n", bf / b, bu / bf, bf, b, bk / 1024
  printf "(c) vistereo video, medium crf 23:  %6.2f fps, %6.3f CPU s/frame  (%d frames in %.1f s, peak %d MiB, %.1f Mbit/s)\n", f / c, cu / f, f, c, ck / 1024, brm / 1e6
  printf "(d) decoding the two camera files alone: %6.3f CPU s/frame; (c) less (a) less (d): %6.3f CPU s/frame\n", eu / mf, cu / f - au / mf - eu / mf
  printf "ratios by wall time: ours / floor = %.3f of its frames per second; ours / v360 = %.3f of its time per frame\n", (f / c) / (mf / a), (c / f) / (b / bf)
  printf "ratios by CPU time:  ours / floor = %.3f of its frames per CPU second; ours / v360 = %.3f of its CPU time per frame\n", (f / cu) / (mf / au), (cu / f) / (bu / bf)
  printf "vistereo video at its defaults:     %6.2f fps, %6.3f CPU s/frame  (%d frames in %.1f s, peak %d MiB, %.1f Mbit/s)\n", df / d, du / df, df, d, dk / 1024, br / 1e6
}'

