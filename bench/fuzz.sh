#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 14 (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for the given time, with a
# corpus under build-fuzz/corpus/. Every fuzz/*_fuzz.cpp is a target; without
# names, all of them run. Prints each target's executions and findings; a
# crash leaves its input as build-fuzz/crash-* and fails.
#   bench/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in "$root"/fuzz/*_fuzz.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi
build="$root/build-fuzz"
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVISTEREO_FUZZ=ON -DVISTEREO_BUILD_UI=OFF -DVISTEREO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" vr180_seed_corpus >/dev/null
status=0
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  # Seeds: the bundled registry and pair and the VR180 writer's files, so the
  # fuzzer starts from real files; fuzz/seeds/<target>/ when there is one.
  case "$t" in
    registry_loader_fuzz) cp -n "$root/examples/Vistereo.ini" "$corpus/" 2>/dev/null || true ;;
    lens_record_fuzz)
      cp -n "$root/examples/Vistereo.ini" "$corpus/" 2>/dev/null || true
      # A polynomial lens of 200 degrees and a four-segment quadratic, so the checks of both are reached.
      printf 'Poly\r\n\r\n\r\n\r\n\r\n\r\n-0.02\r\n\r\n200\r\n0.001\r\n\r\n\r\n0\r\n\r\n\r\n0\r\n\r\n\r\n3\r\n1900\r\n6\r\n3000\r\n2000\r\n1\r\n' >"$corpus/poly.ini"
      printf 'Quad\r\n\r\n\r\n0.4\r\n0.8\r\n1.2\r\n0\r\n0.6366\r\n\r\n0\r\n0.6366\r\n0\r\n0\r\n0.6366\r\n0\r\n0\r\n0.6366\r\n0\r\n0\r\n0\r\n3\r\n0\r\n0\r\n0\r\n' >"$corpus/quad.ini" ;;
    image_header_fuzz) head -c 4096 "$root/examples/input/L.jpg" >"$corpus/L.head" 2>/dev/null || true ;;
    text_numbers_fuzz) printf '560,1060,554,1048,820,700,822,687' >"$corpus/points" ;;
    vr180_reader_fuzz | input_decode_fuzz) "$build/fuzz/vr180_seed_corpus" "$corpus" >/dev/null ;;
    # The first byte picks the limits (see the target); then a pairs file as the README shows one.
    pairs_file_fuzz) printf '\x81left,right,output\r\n# day 1\ncam1/IMG_0001.JPG,cam2/IMG_0001.JPG\n"a, b.jpg",c.jpg,lobby.vr.jpg\n' \
                       >"$corpus/readme" ;;
  esac
  [ -d "$root/fuzz/seeds/$t" ] && cp -n "$root/fuzz/seeds/$t"/* "$corpus/" 2>/dev/null || true
  extra=()
  dict="$root/fuzz/${t%_fuzz}.dict"
  [ "$t" = vr180_reader_fuzz ] && dict="$root/fuzz/vr180.dict"
  [ "$t" = input_decode_fuzz ] && dict="$root/fuzz/image_header.dict"
  [ -f "$dict" ] && extra=(-dict="$dict")
  log="$build/$t.log"
  # The fuzzer's own limit on memory (2 GB) stands; a run that ends by its time is clean.
  if (cd "$build" && "./fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 ${extra[@]+"${extra[@]}"} "$corpus" >"$log" 2>&1); then
    result="no finding"
  else
    result="FINDING (see $log)"
    status=1
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  echo "$t: ${seconds} s, $runs executions, $result"
done
exit $status
