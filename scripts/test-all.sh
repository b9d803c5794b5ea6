#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test suite:
# the host suite; the Windows product built and its file checked, and the
# Windows tests (unit tests, real disk calls, the program's windows) under
# Wine: as a 64-bit build of the same sources under wine64 on every
# machine, and as the 32-bit product's own build where the machine runs
# 32-bit programs; the host suite under ASan and UBSan; bounded fuzzing.
# Prints one summary line per suite and fails when any suite fails.
#
# CORVANTIX_SUITES names the groups to run (default: all of
# "host windows windows64 asan fuzz").
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

"$top/scripts/setup.sh" || exit 1

groups=" ${CORVANTIX_SUITES:-host windows windows64 asan fuzz} "
declare -a summary
failed=0
started=$SECONDS
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
wanted() { [[ $groups == *" $1 "* ]]; }

run_ctest() { (cd "$1" && ctest --output-on-failure --no-tests=error -j "$(nproc)" "${@:2}"); }

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

# Whether this machine runs 32-bit Windows programs: the smallest one,
# started under `wine` in the 32-bit build's prefix within a time limit
# (a new prefix is set up on first use). Sets `wine32_problem` when not.
wine32_problem=""
wine32_runs() {
  local probe=build/windows/tests/wine_probe.exe output status=0
  if [ ! -f "$probe" ]; then
    wine32_problem="the 32-bit build made no probe program"
    return 1
  fi
  output=$(WINEPREFIX=$top/build/windows/wineprefix WINEARCH=win32 \
           WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" \
           timeout 180 wine "$probe" 2>&1) || status=$?
  grep -q 'corvantix wine probe' <<<"$output" && return 0
  if [ "$status" -eq 124 ]; then
    wine32_problem="a 32-bit program gave no answer within 180 s"
  else
    wine32_problem="this machine cannot run 32-bit programs ($(
      grep -m1 -i 'error\|not found\|cannot' <<<"$output" ||
      echo "the probe ended with $status"))"
  fi
  return 1
}

if wanted host; then
  suite "host build" scripts/build.sh host
  suite "host tests" run_ctest build/host
fi
# The whole run under Wine serves the stick through the host build's FAT
# server: built here when the host suite is not run.
if ! wanted host && { wanted windows || wanted windows64; }; then
  suite "host FAT server for the whole run" scripts/build.sh host:corvantix_fat_fuse
fi
if wanted windows; then
  # The product is built and checked on every machine; its own test
  # program only where it can run.
  suite "windows build (32-bit product)" scripts/build.sh windows:corvantix,wine_probe
  suite "windows product file check" run_ctest build/windows -R '^exe_file$'
  if wine32_runs; then
    suite "windows tests under 32-bit Wine" \
      eval 'scripts/build.sh windows && run_ctest build/windows -E "^exe_file$"'
  else
    summary+=("SKIP  windows tests under 32-bit Wine: $wine32_problem; the windows64 suite runs the same tests under wine64")
  fi
fi
if wanted windows64; then
  suite "windows64 build (test vehicle)" scripts/build.sh windows64
  suite "windows tests under wine64" run_ctest build/windows64
fi
if wanted asan; then
  suite "sanitizer build" scripts/build.sh asan
  suite "host tests under ASan+UBSan" run_ctest build/asan -LE slow
fi
if wanted fuzz; then
  suite "fuzz build" scripts/build.sh fuzz
  suite "fuzzing" fuzz_all
fi

echo
echo "== Test summary =="
printf '%s\n' "${summary[@]}"
echo "($((SECONDS - started)) s in all)"
exit $failed
