#!/usr/bin/env bash
# The fault kit: proof that the test suite notices real mistakes.
#
# Each row of tests/faults/faults.tsv names a small deliberate bug: a source
# file, an exact snippet of it, the faulty text that replaces it, the test
# programs that should notice (a ctest -R pattern) and what the bug breaks.
# For each fault this script applies the bug, rebuilds the programs those
# tests run, runs the tests, puts the source back and says
#   caught   a named test failed
#   missed   every named test passed with the bug in place
#   stale    the snippet is not in the file exactly once, or no test matches
#   broken   the faulty source did not build (the fault is no use as it is)
# and exits non-zero when any fault is not caught.
#
#   scripts/faults.sh                 every fault, against its own tests
#   scripts/faults.sh --all           every fault, against the whole suite
#   scripts/faults.sh NAME...         only the named faults
#   scripts/faults.sh --list          the faults and what each breaks
#   BUILD=dir scripts/faults.sh       another configured build tree (default build/)
#   JOBS=n                            parallel build and test jobs (default 2)
#
# The source is always put back, also on Ctrl-C or a failed build: the file's
# own bytes are kept in a scratch folder while the fault is in, and put back
# from there. The build tree is brought back in step with the source at the end.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
table="$root/tests/faults/faults.tsv"
build="${BUILD:-$root/build}"
jobs="${JOBS:-2}"
whole=0
list=0
wanted=()
for arg in "$@"; do
  case "$arg" in
    --all) whole=1 ;;
    --list) list=1 ;;
    -h|--help) sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "faults.sh: unknown option $arg" >&2; exit 2 ;;
    *) wanted+=("$arg") ;;
  esac
done

if [ ! -f "$build/CMakeCache.txt" ] && [ "$list" = 0 ]; then
  echo "faults.sh: no configured build tree at $build (cmake -S . -B build first)" >&2
  exit 2
fi

scratch="$(mktemp -d)"
applied=""        # the source file that holds a fault right now
touched_targets=()

restore() {
  if [ -n "$applied" ]; then
    # Copy without keeping the time stamp: the next build sees a changed
    # file and compiles the original again.
    cat "$scratch/original" > "$root/$applied"
    applied=""
  fi
}
on_exit() {
  restore
  rm -rf "$scratch"
}
trap on_exit EXIT
trap 'restore; echo "faults.sh: interrupted; the source is as it was" >&2; exit 130' INT TERM HUP

# Reads the table into the fault_* arrays. `\n` in a snippet is a line end,
# `\t` a tab and `\\` a backslash.
mapfile -t rows < <(python3 - "$table" <<'EOF'
import sys
for number, line in enumerate(open(sys.argv[1], encoding="utf-8"), 1):
    line = line.rstrip("\n")
    if not line.strip() or line.startswith("#"):
        continue
    fields = line.split("\t")
    if len(fields) != 6:
        sys.exit(f"faults.tsv line {number}: {len(fields)} fields, not 6")
    print(f"{number}\x1f" + "\x1f".join(fields))
EOF
) || exit 2

unescape() {
  python3 -c 'import sys; s=sys.argv[1]; print(s.replace("\\\\","\0").replace("\\n","\n").replace("\\t","\t").replace("\0","\\"), end="")' "$1"
}

# Puts `replacement` in place of the one occurrence of `original` in `file`;
# prints how many times `original` occurs.
apply_fault() {
  python3 - "$1" "$2" "$3" <<'EOF'
import sys
path, original, replacement = sys.argv[1:]
text = open(path, encoding="utf-8").read()
count = text.count(original)
if count == 1:
    open(path, "w", encoding="utf-8").write(text.replace(original, replacement))
print(count)
EOF
}

# The build targets behind the tests matching a pattern: the programs ctest runs.
targets_of() {
  (cd "$build" && ctest -N -R "$1" --show-only=json-v1 2>/dev/null) | python3 -c '
import json, os, sys
seen = []
for test in json.load(sys.stdin).get("tests", []):
    command = test.get("command") or []
    if command:
        name = os.path.basename(command[0])
        if name not in seen and os.path.abspath(command[0]).startswith(os.path.abspath(sys.argv[1])):
            seen.append(name)
print(" ".join(seen))' "$build"
}

test_count() {
  (cd "$build" && ctest -N -R "$1" 2>/dev/null) | sed -n 's/^Total Tests: //p'
}

if [ "$list" = 1 ]; then
  for row in "${rows[@]}"; do
    IFS=$'\x1f' read -r number name file pattern what original replacement <<<"$row"
    printf '%-28s %-40s %s\n' "$name" "$file" "$what"
  done
  exit 0
fi

# The whole tree up to date first: the tests are listed by the programs
# that run them, and each fault is judged against the source as it stands.
echo "faults.sh: building $build" >&2
if ! nice cmake --build "$build" -j"$jobs" >"$scratch/build.log" 2>&1; then
  tail -20 "$scratch/build.log" >&2
  echo "faults.sh: the source does not build as it is" >&2
  exit 2
fi

caught=0; missed=0; stale=0; broken=0
report=()
for row in "${rows[@]}"; do
  IFS=$'\x1f' read -r number name file pattern what original replacement <<<"$row"
  if [ "${#wanted[@]}" -gt 0 ] && [[ ! " ${wanted[*]} " == *" $name "* ]]; then continue; fi
  [ "$whole" = 1 ] && pattern="."
  result=""
  if [ ! -f "$root/$file" ]; then
    result="stale (no file $file)"
  elif [ "$(test_count "$pattern")" = "0" ]; then
    result="stale (no test matches '$pattern')"
  else
    cp "$root/$file" "$scratch/original"
    applied="$file"
    occurrences="$(apply_fault "$root/$file" "$(unescape "$original")" "$(unescape "$replacement")")"
    if [ "$occurrences" != "1" ]; then
      applied=""
      result="stale (the snippet occurs $occurrences times in $file)"
    else
      if [ "$whole" = 1 ]; then targets=(all); else read -r -a targets <<<"$(targets_of "$pattern")"; fi
      [ "${#targets[@]}" -eq 0 ] && targets=(all)
      touched_targets+=("${targets[@]}")
      echo "== $name: $what" >&2
      if ! nice cmake --build "$build" -j"$jobs" --target "${targets[@]}" >"$scratch/build.log" 2>&1; then
        result="broken (the faulty source does not build; see below)"
        tail -20 "$scratch/build.log" >&2
      elif (cd "$build" && QT_QPA_PLATFORM=offscreen ctest -R "$pattern" -j"$jobs" --stop-on-failure \
              >"$scratch/test.log" 2>&1); then
        result="missed"
      else
        result="caught by $(sed -n 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .*\*\*\*.*/\1/p; s/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .*Failed.*/\1/p' \
                              "$scratch/test.log" | head -1)"
      fi
      restore
    fi
  fi
  case "$result" in
    caught*) caught=$((caught + 1)) ;;
    missed*) missed=$((missed + 1)) ;;
    stale*) stale=$((stale + 1)) ;;
    broken*) broken=$((broken + 1)) ;;
  esac
  line="$(printf '%-28s %s' "$name" "$result")"
  echo "$line" >&2
  report+=("$line")
done

# The build tree back in step with the restored source.
if [ "${#touched_targets[@]}" -gt 0 ]; then
  mapfile -t unique < <(printf '%s\n' "${touched_targets[@]}" | sort -u)
  nice cmake --build "$build" -j"$jobs" --target "${unique[@]}" >"$scratch/build.log" 2>&1 ||
    { echo "faults.sh: the restored source did not build again" >&2; tail -20 "$scratch/build.log" >&2; }
fi

echo
printf '%s\n' "${report[@]}"
echo "caught $caught, missed $missed, stale $stale, broken $broken"
[ $((missed + stale + broken)) -eq 0 ]
