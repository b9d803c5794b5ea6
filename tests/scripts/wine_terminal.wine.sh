#!/usr/bin/env bash
# corvantix.exe's unattended runs under Wine, which has no USB disk: a
# drive letter is answered with the line that says so, and a copy folder
# typed with dots or spaces at its end is found as Windows reads it.
#   wine_terminal.wine.sh <corvantix.exe> <source dir> <build dir>
set -euo pipefail
program=$(realpath "$1") src=$(realpath "$2") build=$(realpath "$3")
source "$src/tests/scripts/window_checks.sh"
wine_work "$program" "$build/wineprefix-display"
cd "$work"

no_usb="corvantix: No USB disk was found. Plug in the stick and try again."
# run ARGUMENTS...: the run must end with 1 and write no drive.txt; its
# error stream is in $err.
run() {
  local code=0
  "${wine[@]}" "$program" "$@" >"$work/out.txt" 2>"$work/err.txt" || code=$?
  [ "$code" = 1 ] || fail "corvantix $* ended with $code"
  [ ! -e drive.txt ] || fail "corvantix $* wrote drive.txt"
  err=$(cat "$work/err.txt")
}
# expect_line WANT ARGUMENTS...: the run says WANT alone.
expect_line() {
  local want=$1; shift
  run "$@"
  [ "$err" = "$want" ] || fail "corvantix $*: '$err', not '$want'"
}

expect_line "$no_usb" --yes E
expect_line "$no_usb" --yes --nobackup F:
for typed in 'C:\windows ' 'C:\windows.' 'C:\windows. .' 'C:\windows.\system32 '; do
  expect_line "$no_usb" --yes -c "$typed" E
done
# A missing folder is named as typed and as it was looked for.
run --yes -c 'C:\no such folder ' E
looked="corvantix: The folder to copy 'C:\no such folder ' cannot be read at 'C:\no such folder': "
[ "${err#"$looked"}" != "$err" ] || fail "a missing folder: '$err'"
echo "unattended runs under Wine: the no-USB-disk line; typed folders trimmed"
