#!/usr/bin/env bash
# A batch of 8 pairs of 6000 x 4000 JPEGs at height 4096 against the same 8
# pairs converted one `vistereo-cli convert` at a time: wall time, CPU time and
# peak memory of each (from /usr/bin/time), the ratio of the wall times, and a
# byte comparison of every batch output with its single run's.
#   bash bench/batch.sh [RUNS] [ALIGN]      (needs /usr/bin/time: apt-get install time)
# ALIGN: points (default: the rig's A and B), auto (every single run and the
# batch align each pair automatically), once (the singles align each pair, the
# batch aligns once from the first pairs: its outputs are not compared).
source "$(dirname "$0")/common.sh"
runs="${1:-1}"
align="${2:-points}"
pairs=8
if [ ! -x /usr/bin/time ]; then
  echo "missing /usr/bin/time: install it with 'apt-get install time'" >&2
  exit 1
fi
shoot="$work/batch"
mkdir -p "$shoot/input/left" "$shoot/input/right" "$shoot/output"
cp "$work/Vistereo.ini" "$shoot/"
# The pairs look in different directions; the rig (the right camera's turn
# against the left) stays, so A and B of the first pair serve them all.
for k in $(seq "$pairs"); do
  name=$(printf 'pair_%02d.jpg' "$k")
  if [ ! -f "$shoot/input/left/$name" ] || [ ! -f "$shoot/input/right/$name" ]; then
    echo "making $name (6000 x 4000) ..." >&2
    mkdir -p "$shoot/tmp"
    "$build/bench/make_test_pair" "$shoot/tmp" 6000 4000 --look "$(( k * 20 - 90 )),-8" \
      --turn 2.0,-1.0,1.5 --quality 92 > "$shoot/tmp/points.txt"
    mv "$shoot/tmp/L.jpg" "$shoot/input/left/$name"
    mv "$shoot/tmp/R.jpg" "$shoot/input/right/$name"
  fi
done
rm -rf "$shoot/tmp"
lenses=(--left-lens '#1' --right-lens '#1' --height 4096)
case "$align" in
  points) single_align=(--points "$points"); batch_align=(--points "$points") ;;
  auto) single_align=(--auto-align); batch_align=(--auto-align) ;;
  once) single_align=(--auto-align); batch_align=(--auto-align --align-once) ;;
  *) echo "ALIGN is points, auto or once" >&2; exit 2 ;;
esac

measure() {  # command...: prints "wall_s user_s sys_s peak_kib"
  /usr/bin/time -f "%e %U %S %M" -o "$shoot/time.txt" "$@" > /dev/null
  cat "$shoot/time.txt"
}

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) before; alignment: $align"
for run in $(seq "$runs"); do
  single_wall=0; single_cpu=0; single_peak=0
  for k in $(seq "$pairs"); do
    name=$(printf 'pair_%02d.jpg' "$k")
    read -r wall user sys peak < <(measure "$cli" convert -C "$shoot" "${lenses[@]}" "${single_align[@]}" \
      "$shoot/input/left/$name" "$shoot/input/right/$name" --output "single_$name" --quiet)
    single_wall=$(awk -v a="$single_wall" -v b="$wall" 'BEGIN { print a + b }')
    single_cpu=$(awk -v a="$single_cpu" -v b="$user" -v c="$sys" 'BEGIN { print a + b + c }')
    [ "$peak" -gt "$single_peak" ] && single_peak=$peak
  done
  read -r wall user sys peak < <(measure "$cli" batch -C "$shoot" "${lenses[@]}" "${batch_align[@]}" --output-dir batch-out \
    --force --quiet)
  batch_cpu=$(awk -v b="$user" -v c="$sys" 'BEGIN { print b + c }')
  same=0
  for k in $(seq "$pairs"); do
    name=$(printf 'pair_%02d.jpg' "$k")
    cmp -s "$shoot/output/single_$name" "$shoot/batch-out/$name" && same=$((same + 1))
  done
  awk -v r="$run" -v sw="$single_wall" -v sc="$single_cpu" -v sp="$single_peak" -v bw="$wall" -v bc="$batch_cpu" \
      -v bp="$peak" -v same="$same" -v n="$pairs" -v align="$align" 'BEGIN {
    printf "run %d: %d single converts %.2f s wall (%.2f s CPU, peak %d MiB each at most)\n", r, n, sw, sc, sp / 1024
    printf "       batch of %d         %.2f s wall (%.2f s CPU, peak %d MiB)\n", n, bw, bc, bp / 1024
    printf "       batch / singles: wall %.2fx, CPU %.2fx; ", bw / sw, bc / sc
    if (align == "once") printf "outputs not compared (one shared rotation)\n"
    else printf "identical outputs %d of %d\n", same, n
  }'
done
echo "load average $(cut -d' ' -f1-3 /proc/loadavg) after"
