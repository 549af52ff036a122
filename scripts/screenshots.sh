#!/usr/bin/env bash
# Screenshots of every window of the desktop program on virtual screens of
# 1366 x 768 and 1920 x 1080, into build/screenshots/WIDTHxHEIGHT/ (needs
# xvfb; the build tree must hold ui_screenshots).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
for size in 1366x768 1920x1080; do
  out="$build/screenshots/$size"
  mkdir -p "$out"
  QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 ${size}x24" \
    "$build/tools/ui_screenshots" "$root/examples" "$out"
done
