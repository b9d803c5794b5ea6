#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test suite:
# host tests, the same unit tests under Wine, the host suite under ASan and
# UBSan, and bounded fuzzing. Prints one summary line per suite and fails
# when any suite fails.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

"$top/scripts/setup.sh" || exit 1

declare -a summary
failed=0
suite() {
  local name=$1; shift
  local start=$SECONDS
  if "$@"; then
    summary+=("PASS  $name ($((SECONDS - start)) s)")
  else
    summary+=("FAIL  $name ($((SECONDS - start)) s)")
    failed=1
  fi
}

run_ctest() { (cd "$1" && ctest --output-on-failure -j "$(nproc)" "${@:2}"); }

fuzz_all() {
  local target name corpus
  for target in build/fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus=build/fuzz/corpus/$name
    mkdir -p "$corpus"
    cp -n fuzz/seeds/"$name"/* "$corpus"/ 2>/dev/null
    "$target" -max_total_time=20 -rss_limit_mb=2048 -timeout=5 "$corpus" \
      >"build/fuzz/$name.log" 2>&1 ||
      { echo "fuzzing $name found a failure: build/fuzz/$name.log" >&2; return 1; }
  done
}

suite "host build" scripts/build.sh host
suite "host tests" run_ctest build/host
suite "windows build" scripts/build.sh windows
suite "windows tests under Wine" run_ctest build/windows
suite "sanitizer build" scripts/build.sh asan
suite "host tests under ASan+UBSan" run_ctest build/asan -LE slow
suite "fuzz build" scripts/build.sh fuzz
suite "fuzzing" fuzz_all

echo
echo "== Test summary =="
printf '%s\n' "${summary[@]}"
exit $failed
