# Shared by the benchmark scripts: the build, a 6000 x 4000 stereo pair made
# from the panorama (cached in build/bench-data), and its working directory.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VISTEREO_BUILD:-$root/build}"
cli="$build/vistereo-cli"
work="$build/bench-data"
if [ ! -x "$cli" ] || [ ! -x "$build/bench/make_test_pair" ]; then
  echo "Build first: bash scripts/setup.sh" >&2
  exit 1
fi
mkdir -p "$work/input" "$work/output"
if [ ! -f "$work/input/L.jpg" ] || [ ! -f "$work/points.txt" ]; then
  echo "making a 6000 x 4000 JPEG pair in $work/input ..." >&2
  "$build/bench/make_test_pair" "$work/input" 6000 4000 --look 0,-8 --turn 2.0,-1.0,1.5 \
    --quality 92 > "$work/points.txt"
fi
points="$(cat "$work/points.txt")"
# One equisolid circular fisheye record.
printf 'Equisolid circular fisheye\r\n' > "$work/Vistereo.ini"
for _ in $(seq 17); do printf '\r\n' >> "$work/Vistereo.ini"; done
printf '0\r\n0\r\n1\r\n0\r\n0\r\n0\r\n' >> "$work/Vistereo.ini"
