#!/usr/bin/env bash
# Installs what is missing, builds, and runs the host program on the
# demo machine: one 256 MiB USB stick E, backed by the image
# build/stick/corvantix-stick.img (made on first use like a new stick from
# the shop), beside an IDE system disk that is never listed.
#
# With a display, the window opens for you: the stick is selected, press
# Format, confirm, and watch the run. Without one (a fresh server), the
# window runs under Xvfb and this script plays the person: Format, Yes,
# then OK on the result box; it then checks the prepared image.
#   scripts/run-default.sh [program arguments]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh" host windows
program=$top/build/host/corvantix
mkdir -p "$top/build/stick"
cd "$top/build/stick"
export CORVANTIX_MACHINE=demo

if [ -n "${DISPLAY:-}" ] && [ -z "${CORVANTIX_XVFB:-}" ]; then
  exec "$program" "$@"
fi

if [ -z "${CORVANTIX_XVFB:-}" ]; then
  exec env CORVANTIX_XVFB=1 xvfb-run -a -s "-screen 0 1280x1024x24" \
    bash "$top/scripts/run-default.sh" "$@"
fi

source "$top/tests/scripts/window_checks.sh"
"$program" "$@" &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
main=$(wait_window Corvantix) || fail "the main window did not open"
echo "Main window open; pressing Format."
xdotool mousemove --window "$main" 300 238 click 1
question=$(wait_window "Warning!" 10) || fail "no confirmation after Format"
press "$question" Return
echo "Confirmed; preparing the stick..."
if result=$(wait_window "Format successful!" 300); then
  echo "Format Successful!"
  press "$result" Return
else
  failed=$(wait_window "Format failed!" 1) && press "$failed" Return
  fail "the preparation failed"
fi
sleep 1
python3 "$top/tests/scripts/x11_close.py" "$main"
wait $pid || true
trap - EXIT

image=$PWD/corvantix-stick.img
echo "Prepared image: $image"
MTOOLS_SKIP_CHECK=1 mdir -i "$image@@16384" ::/
# fsck.fat takes no offset: it checks a sparse copy of the partition.
part=$(mktemp)
cp --sparse=always "$image" "$part" && fallocate -c -o 0 -l 16384 "$part"
fsck.fat -n "$part" || true
rm -f "$part"
echo "Boot it with: qemu-system-i386 -drive file=$image,format=raw"
