#!/usr/bin/env bash
# Preparing a 4 GB stick (a loop device) that holds 100 MiB of the user's
# files, end to end: the host program through its window (backup, format,
# FreeDOS, restore) beside the manual route to the same result (mcopy out,
# sfdisk, mkfs.fat -F 32, mcopy of the FreeDOS files and the user's files
# back). Prints the wall time and the bytes written to the device (sectors
# written in /sys/block/loopN/stat) of each. Root only.
#   real_stick_bench.sh <corvantix> <source dir> <build dir>
set -euo pipefail
program=$(realpath "$1") src=$(realpath "$2") build=$(realpath "$3")
source "$src/tests/scripts/window_checks.sh"
source "$src/tests/scripts/loop_devices.sh"
[ "$(id -u)" = 0 ] || { echo "loop devices need root"; exit 1; }
if [ -z "${CORVANTIX_XVFB:-}" ]; then
  exec env CORVANTIX_XVFB=1 xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi
export LANG=C.UTF-8 MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 ASAN_OPTIONS=detect_leaks=0
work=$(mktemp -d /var/tmp/real-stick-bench.XXXXXX)
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"
payload=$(sed -n 's/^CORVANTIX_PAYLOAD_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
loop="" pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  [ -n "$loop" ] && detach "$loop"
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/user/Files"
for i in $(seq 1 100); do
  head -c 1048576 /dev/urandom >"$work/user/Files/file$i.bin"
done

# A 4 GB stick as sold, holding the user's files.
fresh_stick() {
  [ -n "$loop" ] && detach "$loop"
  rm -f "$work/stick.img"
  truncate -s 4000000000 "$work/stick.img"
  loop=$(losetup -f --show "$work/stick.img")
  partx -d "$loop" 2>/dev/null || true
  echo 'start=1MiB, type=c' | sfdisk -q "$loop" >/dev/null 2>&1
  partx -a "$loop" 2>/dev/null || partx -u "$loop"
  mkfs.fat -F 32 -n "USB STICK" "${loop}p1" >/dev/null
  blockdev --flushbufs "$loop"
  mcopy -s -i "$loop@@1048576" "$work/user/Files" ::/ 2>/dev/null
  sync
}
written() { awk '{print $7 * 512}' "/sys/block/${loop#/dev/}/stat"; }
now() { date +%s.%N; }

# The program, through its window.
fresh_stick
echo "disk $loop interface=USB letter=E model=\"Bench Stick\"" >"$work/machine.txt"
bytes0=$(written) t0=$(now)
CORVANTIX_MACHINE=$work/machine.txt "$program" 2>"$work/stderr.txt" &
pid=$!
main=$(wait_window Corvantix) || fail "no main window"
xdotool mousemove --window "$main" 300 238 click 1
question=$(wait_window "Warning!" 10) || fail "no question"
t0=$(now)
press "$question" Return
wait_window "Format successful!" 600 >/dev/null || fail "the run failed"
t1=$(now) bytes1=$(written)
kill "$pid"; wait "$pid" 2>/dev/null || true; pid=""
program_time=$(echo "$t1 - $t0" | bc) program_bytes=$((bytes1 - bytes0))

# The manual route.
fresh_stick
bytes0=$(written) t0=$(now)
mcopy -s -i "$loop@@1048576" ::/Files "$work/backup" 2>/dev/null
echo 'start=1MiB, type=c, bootable' | sfdisk -q --wipe always "$loop" >/dev/null 2>&1
partx -u "$loop" 2>/dev/null || true
mkfs.fat -F 32 "${loop}p1" >/dev/null
blockdev --flushbufs "$loop"
mcopy -i "$loop@@1048576" "$payload/KERNEL.SYS" "$payload/COMMAND.COM" \
  "$src/resources/payload/CONFIG.SYS" "$src/resources/payload/AUTOEXEC.BAT" ::/ 2>/dev/null
mcopy -s -i "$loop@@1048576" "$work/backup" ::/Files 2>/dev/null
sync
t1=$(now) bytes1=$(written)
manual_time=$(echo "$t1 - $t0" | bc) manual_bytes=$((bytes1 - bytes0))

printf '%-40s %10s %16s\n' "route" "seconds" "bytes written"
printf '%-40s %10.2f %16d\n' "Corvantix (window, loop device)" "$program_time" "$program_bytes"
printf '%-40s %10.2f %16d\n' "manual (sfdisk, mkfs.fat, mcopy)" "$manual_time" "$manual_bytes"
