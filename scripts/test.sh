#!/usr/bin/env bash
# Builds everything and runs the whole test suite (library tests, dialog tests
# headless, command-line tests).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
cd "$root/build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)"
