#!/usr/bin/env bash
# Converts a 6000 x 4000 JPEG pair at the default height 4096 with vistereo-cli
# and prints wall time, the time of each stage and peak memory.
#   bash bench/convert.sh [--threads N] [--interp bilinear|bicubic|lanczos] [RUNS]
source "$(dirname "$0")/common.sh"
threads=0
interp=bilinear
while [ $# -gt 1 ]; do
  case "$1" in
    --threads) threads="$2"; shift 2 ;;
    --interp) interp="$2"; shift 2 ;;
    *) break ;;
  esac
done
runs="${1:-3}"
echo "pair: $(identify -format '%wx%h ' "$work/input/L.jpg" 2>/dev/null || true)$(du -h "$work/input/L.jpg" | cut -f1) + $(du -h "$work/input/R.jpg" | cut -f1), output 8192 x 4096 JPEG, threads $threads, $interp"
for i in $(seq "$runs"); do
  start=$(date +%s.%N)
  "$cli" convert -C "$work" --left-lens '#1' --right-lens '#1' --points "$points" \
    --threads "$threads" --interp "$interp" --quiet --timing
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" -v i="$i" 'BEGIN { printf "run %d: wall %.3f s\n", i, e - s }'
done
