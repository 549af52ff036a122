#!/usr/bin/env bash
# One step from a fresh Debian 12 machine to a converted example: installs what
# is missing, builds build/vistereo and build/vistereo-cli, and converts the
# bundled stereo pair in examples/: a side-by-side JPEG and a VR180 photo.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
# The example pair: two equisolid circular fisheyes, the right camera turned
# by 2 degrees of yaw, -1 of pitch and 1.5 of roll against the left one.
for output in LROut.jpg LROut.vr.jpg; do
  "$root/build/vistereo-cli" convert -C "$root/examples" -o "$output" \
    --left-lens "Equisolid circular fisheye" --right-lens "Equisolid circular fisheye" \
    --points 560,1060,554,1048,820,700,822,687
done
