#!/usr/bin/env bash
# The formatter's real Win32 disk calls and the file calls on the stick's
# volume under Wine. A prefix of this test's own maps image files as
# devices: dosdevices/physicaldrive1 is the disk \\.\PhysicalDrive1 and
# dosdevices/e:: the volume \\.\E: of its first partition, whose files
# dosdevices/e: holds. The images are filled with random bytes, so any
# stray write shows.
#   raw_disk.sh <corvantix_tests.exe> <source dir> <build dir>
set -euo pipefail
tests=$(realpath "$1") src=$(realpath "$2") build=$(realpath "$3")
source "$src/tests/scripts/window_checks.sh"

wine_work "$tests" "$build/wineprefix-disk"

[ -d "$WINEPREFIX/dosdevices" ] || fail "no Wine prefix at $WINEPREFIX"

head -c $((4 << 20)) /dev/urandom >"$work/disk.img"
head -c $((1 << 20)) /dev/urandom >"$work/volume.img"
ln -sfn "$work/disk.img" "$WINEPREFIX/dosdevices/physicaldrive1"
ln -sfn "$work/volume.img" "$WINEPREFIX/dosdevices/e::"
mkdir "$work/stick"
ln -sfn "$work/stick" "$WINEPREFIX/dosdevices/e:"

windows_path() { echo "Z:${1//\//\\}"; }
export CORVANTIX_RAW_DISK CORVANTIX_RAW_VOLUME CORVANTIX_STICK_ROOT='E:\'
CORVANTIX_RAW_DISK=$(windows_path "$work/disk.img")
CORVANTIX_RAW_VOLUME=$(windows_path "$work/volume.img")
status=0
"${wine[@]}" "$tests" --gtest_brief=1 --gtest_filter='Win32RawDisk.*:Win32StickVolume.*' \
  >"$work/out.txt" 2>&1 || status=$?
rm -f "$WINEPREFIX/dosdevices/physicaldrive1" "$WINEPREFIX/dosdevices/e::" \
  "$WINEPREFIX/dosdevices/e:"
cat "$work/out.txt"
[ "$status" -eq 0 ] || fail "the raw disk tests failed"
grep -q '^\[  PASSED  \] [1-9]' "$work/out.txt" || fail "no raw disk test ran"
! grep -q '^\[  SKIPPED \]' "$work/out.txt" || fail "raw disk tests were skipped"
