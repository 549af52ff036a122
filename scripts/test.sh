#!/usr/bin/env bash
# Builds everything and runs the whole test suite (library tests, dialog tests
# headless, command-line tests).
#   scripts/test.sh              the Release build in build/
#   scripts/test.sh --sanitize   the same suite built with AddressSanitizer and
#                                UndefinedBehaviorSanitizer in build-sanitize/
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
if [ "${1:-}" = "--sanitize" ]; then
  build="$root/build-sanitize"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVISTEREO_SANITIZE=ON >/dev/null
  cmake --build "$build" -j"$(nproc)"
  # Leaks inside the system's Qt, fontconfig and OpenCV libraries are theirs;
  # any other leak, and every memory error or undefined behaviour, fails.
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
  export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
else
  build="$root/build"
  "$root/scripts/build.sh"
fi
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)"
