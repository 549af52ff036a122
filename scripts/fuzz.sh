#!/usr/bin/env bash
# Builds the VR180 reader's libFuzzer target with clang in build-fuzz/, makes
# the seed corpus with the writer, and fuzzes for SECONDS (default 300).
# New inputs go to build-fuzz/corpus/, crashes to build-fuzz/artifacts/.
# Needs clang-14 (apt-get install clang-14 libclang-rt-14-dev).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-300}"
build="$root/build-fuzz"
if ! command -v clang++-14 >/dev/null; then
  echo "fuzz.sh: clang++-14 is missing (apt-get install clang-14 libclang-rt-14-dev)" >&2
  exit 1
fi
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVISTEREO_FUZZ=ON -DVISTEREO_BUILD_UI=OFF -DVISTEREO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target vr180_reader_fuzz vr180_seed_corpus
mkdir -p "$build/seeds" "$build/corpus" "$build/artifacts"
"$build/fuzz/vr180_seed_corpus" "$build/seeds"
"$build/fuzz/vr180_reader_fuzz" -max_total_time="$seconds" -dict="$root/fuzz/vr180.dict" \
  -artifact_prefix="$build/artifacts/" -print_final_stats=1 "$build/corpus" "$build/seeds"
