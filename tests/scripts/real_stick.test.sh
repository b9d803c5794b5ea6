#!/usr/bin/env bash
# The host program on real block devices, loop devices standing in for USB
# sticks (root only; otherwise the reason is printed and nothing runs):
#  - a whole run through the window (backup, format, FreeDOS, restore, a
#    copy folder), then QEMU boots FreeDOS from the device and the user's
#    files and the copied folder are on it;
#  - a device with a partition mounted (ext4) and in use is refused with a
#    message naming the mount point, and not a byte of it changes;
#  - a device with 4096-byte logical sectors is refused before anything is
#    written.
#   real_stick.test.sh <corvantix> <source dir> <build dir>
set -euo pipefail
program=$(realpath "$1") src=$(realpath "$2") build=$(realpath "$3")
source "$src/tests/scripts/window_checks.sh"
source "$src/tests/scripts/loop_devices.sh"

skip() { echo "SKIPPED real sticks: $*"; exit 0; }
[ "$(id -u)" = 0 ] || skip "loop devices need root"
for tool in losetup partx sfdisk mkfs.fat mkfs.ext4 mcopy; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
probe=$(mktemp)
truncate -s 1M "$probe"
probe_loop=$(losetup -f --show "$probe" 2>/dev/null) || { rm -f "$probe"; skip "no loop device can be had here"; }
losetup -d "$probe_loop"
rm -f "$probe"

if [ -z "${CORVANTIX_XVFB:-}" ]; then
  exec env CORVANTIX_XVFB=1 xvfb-run -a -s "-screen 0 1280x1024x24" \
    bash "$0" "$@"
fi

shots=$build/screenshots
mkdir -p "$shots"
work=$(mktemp -d /var/tmp/real-stick.XXXXXX)
loops=() mounts=() pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  for point in "${mounts[@]}"; do umount "$point" 2>/dev/null || true; done
  for loop in "${loops[@]}"; do detach "$loop"; done
  rm -rf "$work"
}
trap cleanup EXIT
export LANG=C.UTF-8 LC_ALL= LC_MESSAGES= ASAN_OPTIONS=detect_leaks=0
export MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 TMPDIR=$work/tmp
mkdir -p "$TMPDIR"
payload=$(sed -n 's/^CORVANTIX_PAYLOAD_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")

# attach IMAGE [SECTOR]: sets $loop to a new loop device over IMAGE,
# without the partitions an earlier user of the device left (see detach).
attach() {
  loop=$(losetup -f --show --sector-size "${2:-512}" "$1")
  loops+=("$loop")
  partx -d "$loop" 2>/dev/null || true
}
# stick IMAGE SIZE [SECTOR]: $loop over a new image with one FAT32
# partition at 1 MiB, as sticks are sold.
stick() {
  truncate -s "$2" "$1"
  attach "$1" "${3:-512}"
  echo 'start=1MiB, type=c' | sfdisk -q "$loop" >/dev/null 2>&1
  partx -a "$loop" 2>/dev/null || partx -u "$loop"
  mkfs.fat -F 32 -s 1 -n "USB STICK" "${loop}p1" >/dev/null 2>&1
  blockdev --flushbufs "$loop"
}
machine() { echo "disk $1 interface=USB letter=E model=\"Loop Stick\"" >"$work/machine.txt"; }
# The stick's file system, read through the whole disk as the program does.
at() { echo "$1@@$(($(sfdisk -q -l -o Start "$1" | awk 'NR == 2') * ${2:-512}))"; }

# run_window ARGS...: the program on $work/machine.txt; Format, Yes to the
# question; prints the title of the box that ends the run.
run_window() {
  CORVANTIX_MACHINE=$work/machine.txt "$program" "$@" 2>"$work/stderr.txt" &
  pid=$!
  local main question box
  main=$(wait_window Corvantix) || fail "no main window: $(cat "$work/stderr.txt")"
  xdotool mousemove --window "$main" 300 238 click 1
  question=$(wait_window "Warning!" 10) || fail "no question after Format"
  press "$question" Return
  for _ in $(seq 1 480); do
    for title in "Format successful!" "Format failed!"; do
      if box=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -1) && [ -n "$box" ]; then
        shoot "$box" "$shots/real-$title.png"
        echo "$title"
        press "$box" Return
        python3 "$src/tests/scripts/x11_close.py" "$main" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        pid=""
        return 0
      fi
    done
    sleep 0.25
  done
  fail "no result box"
}
box_text() { convert "$shots/real-$1.png" -scale 300% -colorspace gray "$work/ocr.png" && tesseract "$work/ocr.png" - 2>/dev/null | tr -s '\n' ' '; }

# --- A whole run, then FreeDOS boots from the device --------------------
stick "$work/whole.img" 128M
mkdir -p "$work/user/Docs/Überblick" "$work/extra/Tools"
# The user's own AUTOEXEC.BAT replaces FreeDOS's when restored; it reports
# to COM1, so the boot shows that the user's files are back.
line='echo CORVANTIX-%%CXM%%>COM1\r\n'
printf "@echo off\r\nset CXM=BOOT-OK\r\n$line$line$line" >"$work/user/AUTOEXEC.BAT"
head -c 3000000 /dev/urandom >"$work/user/Docs/Überblick/data.bin"
echo "notes of the user" >"$work/user/Docs/Notes.txt"
echo "flash tool" >"$work/extra/Tools/FLASH.BAT"
mcopy -s -i "$(at "$loop")" "$work/user/AUTOEXEC.BAT" "$work/user/Docs" ::/ 2>/dev/null
machine "$loop"
result=$(run_window --copy "$work/extra")
[ "$result" = "Format successful!" ] || fail "whole run: $result: $(box_text "$result")"
stickfs=$(at "$loop")
for file in KERNEL.SYS COMMAND.COM; do
  mtype -i "$stickfs" 2>/dev/null "::/$file" | cmp -s - "$payload/$file" || fail "$file is not on the stick"
done
mtype -i "$stickfs" 2>/dev/null ::/Docs/Überblick/data.bin | cmp -s - "$work/user/Docs/Überblick/data.bin" ||
  fail "the user's file under a Unicode name is not back"
mtype -i "$stickfs" 2>/dev/null ::/Docs/Notes.txt | cmp -s - "$work/user/Docs/Notes.txt" || fail "Notes.txt is not back"
mtype -i "$stickfs" 2>/dev/null ::/Tools/FLASH.BAT | cmp -s - "$work/extra/Tools/FLASH.BAT" || fail "the copy folder is not on the stick"
[ -z "$(find "$TMPDIR" -type f)" ] || fail "files left in $TMPDIR after a good run: $(find "$TMPDIR" -type f)"
"$src/tests/boot/qemu_boot.sh" "$loop" --timeout 60 || fail "FreeDOS does not boot from $loop"
echo "real sticks: whole run on $loop, FreeDOS boots with the user's files back"

# --- A partition mounted and in use: refused, nothing written -----------
truncate -s 96M "$work/mounted.img"
attach "$work/mounted.img"
printf 'start=1MiB, size=40MiB, type=c\nsize=40MiB, type=83\n' | sfdisk -q "$loop" >/dev/null 2>&1
partx -a "$loop" 2>/dev/null || partx -u "$loop"
mkfs.fat -F 32 -s 1 "${loop}p1" >/dev/null
mkfs.ext4 -q "${loop}p2"
blockdev --flushbufs "$loop"
point=$work/data
mkdir -p "$point"
mount "${loop}p2" "$point"
mounts+=("$point")
touch "$point/open"
sleep 600 <"$point/open" &  # a program with a file open keeps it mounted
holder=$!
machine "$loop"
before=$(sha256sum <"$loop")
result=$(run_window)
kill "$holder"; wait "$holder" 2>/dev/null || true
[ "$result" = "Format failed!" ] || fail "a stick with a mounted partition was prepared"
text=$(box_text "$result")
[[ $text == *mounted* && $text == *umount* && $text == *data* ]] || fail "mounted: the message reads '$text'"
[ "$(sha256sum <"$loop")" = "$before" ] || fail "the stick with a mounted partition changed"
umount "$point"
mounts=()
echo "real sticks: a mounted partition in use is named and nothing is written"

# --- 4096-byte logical sectors: refused before anything is written ------
stick "$work/big-sectors.img" 96M 4096
machine "$loop"
before=$(sha256sum <"$loop")
result=$(run_window)
[ "$result" = "Format failed!" ] || fail "a stick with 4096-byte sectors was prepared"
[ "$(sha256sum <"$loop")" = "$before" ] || fail "the stick with 4096-byte sectors changed"
echo "real sticks: 4096-byte sectors refused, nothing written"
