#!/usr/bin/env bash
# A whole run of the Windows build under Wine, driven through its window as
# a person would: the USB disk chosen in the list, Backup checked, Format,
# Yes to the question, OK to the outcome. The stick is a loop device over
# an image with one FAT32 partition holding the user's files; in the
# prefix it is \\.\PhysicalDrive1 (the loop device), \\.\E: (its first
# partition) and E: (that partition's FAT file system, served by
# corvantix_fat_fuse over the project's FAT library). The device list comes
# from the product's WMI code against the test WMI provider. setupapi.dll
# in the program's folder stands in for the calls Wine lacks (see
# tests/wine/device_standin); this script plays the device for it: a
# disable unmounts E: and drops the partitions, an enable reads the new
# partition table and mounts the new file system.
# Afterwards the image is judged by tools that are not ours: fsck.fat finds
# it clean, mtools reads every file of the user back, the copy folder and
# FreeDOS's files, and QEMU boots it into FreeDOS.
# Skipped (exit 77, one line) where FUSE, loop devices or root are missing.
#   whole_run.sh <corvantix.exe> <source dir> <build dir> <setupapi stand-in>
#                <WMI provider DLL> <host build dir>
set -euo pipefail
program=$(realpath "$1") src=$(realpath "$2") build=$(realpath "$3")
standin=$(realpath "$4") provider=$(realpath -m "$5") host_build=$(realpath -m "$6")
fuse_server=$host_build/tests/corvantix_fat_fuse
source "$src/tests/scripts/window_checks.sh"
source "$src/tests/scripts/loop_devices.sh"

skip() { echo "SKIP: $*"; exit 77; }
if [ -z "${CORVANTIX_XVFB:-}" ]; then
  [ -c /dev/fuse ] || skip "no /dev/fuse here: the stick's file system cannot be served"
  command -v fusermount3 >/dev/null || skip "fusermount3 is not installed (package fuse3)"
  [ "$(id -u)" -eq 0 ] || skip "loop devices need root"
  [ -x "$fuse_server" ] || fail "no $fuse_server: build the host build first"
  [ -f "$provider" ] || fail "no WMI provider at $provider"
  exec env CORVANTIX_XVFB=1 xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi

use_wine "$program" "$build/wineprefix-whole"
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;setupapi=n,b"
export MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 LANG=C.UTF-8 PATH=$PATH:/usr/sbin:/sbin
work=$(mktemp -d "${TMPDIR:-/tmp}/whole-run.XXXXXX")
loop="" fuse_pid="" device_pid="" pid=""
shots=$build/screenshots
mkdir -p "$shots"

unmount_stick() {
  if mountpoint -q "$work/e"; then
    fusermount3 -u "$work/e" 2>/dev/null || fusermount3 -uz "$work/e" 2>/dev/null || true
  fi
  if [ -n "$fuse_pid" ]; then
    wait "$fuse_pid" 2>/dev/null || true
    fuse_pid=""
  fi
}
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  [ -n "$device_pid" ] && kill "$device_pid" 2>/dev/null
  wineserver -k 2>/dev/null || true
  unmount_stick
  [ -n "$loop" ] && detach "$loop"
  rm -f "$WINEPREFIX/dosdevices/physicaldrive1" "$WINEPREFIX/dosdevices/e::" \
    "$WINEPREFIX/dosdevices/e:"
  rm -rf "$work"
}
trap cleanup EXIT
windows_path() { local p=${1//\//\\}; echo "Z:$p"; }

# --- The stick: one FAT32 partition at 1 MiB with the user's files --------
size=$((64 << 20))
truncate -s "$size" "$work/stick.img"
echo 'start=1MiB, type=c' | sfdisk -q "$work/stick.img" >/dev/null
loop=$(losetup -f --show "$work/stick.img" 2>/dev/null) || skip "no loop device can be had here"
partx -d "$loop" 2>/dev/null || true
partx -a "$loop" 2>/dev/null || partx -u "$loop"
mkfs.fat -F 32 -s 1 -n "USB STICK" "${loop}p1" >/dev/null
user=$work/user
mkdir -p "$user/Docs/Überblick" "$user/Docs/Sub folder"
echo "notes of the user" >"$user/Notes.txt"
echo "a name longer than eight dot three" >"$user/A long file name, with spaces.text"
head -c 300000 /dev/urandom >"$user/Docs/Überblick/data.bin"
printf 'line\r\n%.0s' $(seq 1 2000) >"$user/Docs/Sub folder/more lines.txt"
# mtools on a partition device remarks that it has no geometry: its
# messages are shown only when it fails.
mcopy -s -i "${loop}p1" "$user"/* ::/ 2>"$work/mcopy.txt" ||
  fail "mcopy cannot fill the stick: $(cat "$work/mcopy.txt")"
blockdev --flushbufs "$loop"
extra=$work/extra
mkdir -p "$extra/Tools"
# The copy folder's AUTOEXEC.BAT replaces FreeDOS's and reports to COM1, so
# the boot shows that the copy step ran last.
line='echo CORVANTIX-%%CXM%%>COM1\r\n'
printf "@echo off\r\nset CXM=BOOT-OK\r\n$line$line$line" >"$extra/AUTOEXEC.BAT"
echo "flash tool" >"$extra/Tools/FLASH.BAT"

# --- E: served, the device played ------------------------------------------
mkdir -p "$work/e" "$work/device"
# Wine takes FSCTL_LOCK_VOLUME as granted whoever holds the volume, and
# answers FSCTL_DISMOUNT_VOLUME by running umount on the mount whose source
# is the volume's block device. Windows mounts a dismounted volume again
# at its next use, which Wine cannot; so the mount is named after no
# device and outlives the capacity check's dismount, as the file system
# does on Windows: that check puts back every sector it wrote.
mount_stick() {
  "$fuse_server" "${loop}p1" "$work/e" -o fsname=corvantix-stick 2>>"$work/fuse.txt" &
  fuse_pid=$!
  for _ in $(seq 1 100); do
    mountpoint -q "$work/e" && return 0
    kill -0 "$fuse_pid" 2>/dev/null || break
    sleep 0.1
  done
  fuse_pid=""
  return 1
}
# The device as the stand-in sees it: requests in, answers and state out.
answer() { echo "$1" >"$work/device/answer.part" && mv "$work/device/answer.part" "$work/device/answer.txt"; }
play_device() {
  while :; do
    if [ -f "$work/device/request.txt" ]; then
      local request
      request=$(cat "$work/device/request.txt")
      rm -f "$work/device/request.txt"
      echo "device: $request" >>"$work/device.log"
      case $request in
        disable)
          unmount_stick
          partx -d "$loop" 2>>"$work/device.log" || true
          echo disabled >"$work/device/state.txt"
          answer ok ;;
        enable)
          if [ "$(cat "$work/device/state.txt")" = started ]; then
            answer ok
          else
            partx -a "$loop" 2>>"$work/device.log" || partx -u "$loop" 2>>"$work/device.log" || true
            udevadm settle 2>/dev/null || true
            if mount_stick; then
              echo started >"$work/device/state.txt"
              answer ok
            else
              echo problem >"$work/device/state.txt"
              answer failed
            fi
          fi ;;
        *) answer failed ;;
      esac
    fi
    sleep 0.1
  done
}
mount_stick || fail "the stick's file system does not mount: $(cat "$work/fuse.txt")"
echo "$size" >"$work/device/size.txt"
echo started >"$work/device/state.txt"
play_device &
device_pid=$!

# --- The prefix: the disks for WMI, the device node, the drives ----------
[ -d "$WINEPREFIX/dosdevices" ] || fail "no Wine prefix at $WINEPREFIX"
pnp='USBSTOR\DISK&VEN_CORVANTX&PROD_WHOLE_RUN&REV_1.00\0000WHOLE0001&0'
cat >"$work/disks.txt" <<EOF
disk 0 size=64G model="Wine System Disk" interface=IDE partitions=C
disk 1 size=$size model="Corvantix Whole Run USB Device" interface=USB partitions=E pnp=$pnp
EOF
bash "$src/tests/wine/install_wmi_provider.sh" "$WINEPREFIX" "$provider" "$work/disks.txt" \
  >"$work/install.txt" 2>&1 || fail "the WMI provider does not install: $(cat "$work/install.txt")"
node='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\'$pnp
printf 'Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n"ClassGUID"="{4d36e967-e325-11ce-bfc1-08002be10318}"\r\n"Class"="DiskDrive"\r\n"FriendlyName"="Corvantix Whole Run USB Device"\r\n' \
  "$node" >"$work/node.reg"
"${wine[@]}" regedit /S "$(windows_path "$work/node.reg")"
ln -sfn "$loop" "$WINEPREFIX/dosdevices/physicaldrive1"
ln -sfn "${loop}p1" "$WINEPREFIX/dosdevices/e::"
ln -sfn "$work/e" "$WINEPREFIX/dosdevices/e:"

# The program's folder: the product and the stand-in beside it, with the
# Wine setupapi.dll it forwards to.
if [[ ${wine[0]} == */wine64 ]]; then arch=x86_64; else arch=i386; fi
wine_setupapi=""
for candidate in /usr/lib/*/wine/$arch-windows/setupapi.dll /usr/lib/wine/$arch-windows/setupapi.dll; do
  [ -f "$candidate" ] && wine_setupapi=$candidate && break
done
[ -n "$wine_setupapi" ] || fail "Wine's $arch setupapi.dll not found"
mkdir -p "$work/app"
cp "$program" "$work/app/corvantix.exe"
cp "$standin" "$work/app/setupapi.dll"
cp "$wine_setupapi" "$work/app/winesetupapi.dll"

# --- The run, through the window ------------------------------------------
cd "$work"
CORVANTIX_WINE_DEVICE=$(windows_path "$work/device") \
  "${wine[@]}" "$work/app/corvantix.exe" --copy "$(windows_path "$extra")" 2>"$work/stderr.txt" &
pid=$!
main=$(wait_window Corvantix 180) || fail "no main window: $(cat "$work/stderr.txt")"
sleep 1
main_window_scale "$main"
px() { awk -v v="$1" -v s="$2" 'BEGIN {printf "%d", v * s + 0.5}'; }
# The device list: its field in the middle column of the third row from
# the bottom; the USB disk is chosen from its drop-down list.
list_y=$((h - $(px 72 "$sy")))
xdotool mousemove --window "$main" $((w / 2)) "$list_y" click 1
sleep 0.5
press "$main" Down Return
sleep 0.5
shoot "$main" "$shots/whole-run-chosen.png"
expect_texts "$(main_texts "$shots/whole-run-chosen.png" "$sx" "$sy")" \
  "Whole Run USB Device" Refresh Backup Format
# Backup is checked as the window opens: a dark check mark in its box,
# left of its text.
mark=$(convert "$shots/whole-run-chosen.png" \
         -crop "$(px 14 "$sx")x$(px 14 "$sy")+$(px 2 "$sx")+$((h - $(px 22 "$sy")))" \
         +repage -colorspace gray -depth 8 txt:- | awk -F'[(),]' 'NR > 1 && int($4) < 128' | wc -l)
[ "$mark" -ge 5 ] || fail "the Backup box is not checked"
xdotool mousemove --window "$main" $((w / 2)) $((h - $(px 14 "$sy"))) click 1
question=$(wait_window "Warning!" 30) || fail "no question after Format"
shoot "$question" "$shots/whole-run-question.png"
press "$question" Return
result=""
for _ in $(seq 1 480); do
  for title in "Format successful!" "Format failed!"; do
    box=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -1 || true)
    if [ -n "$box" ]; then
      result=$title
      break 2
    fi
  done
  sleep 0.25
done
[ -n "$result" ] || fail "no outcome box: $(cat "$work/device.log" 2>/dev/null)"
shoot "$box" "$shots/whole-run-outcome.png"
press "$box" Return
wait_gone "$result" || fail "the outcome box does not close"
python3 "$src/tests/scripts/x11_close.py" "$main"
await_program_end
if [ "$result" != "Format successful!" ]; then
  convert "$shots/whole-run-outcome.png" -scale 300% -colorspace gray "$work/ocr.png"
  fail "the run ended with \"$result\": $(tesseract "$work/ocr.png" - 2>/dev/null | tr -s '\n' ' ')" \
    "device: $(cat "$work/device.log" 2>/dev/null | tr '\n' ' ')"
fi
[ "$status" -eq 0 ] || fail "the program ended with $status: $(cat "$work/stderr.txt")"
grep -q '^device: disable' "$work/device.log" && grep -q '^device: enable' "$work/device.log" ||
  fail "the device was not restarted: $(cat "$work/device.log")"

# --- The judges -------------------------------------------------------------
kill "$device_pid" 2>/dev/null; wait "$device_pid" 2>/dev/null || true
device_pid=""
unmount_stick
blockdev --flushbufs "$loop"
partx -d "$loop" 2>/dev/null || true
partx -a "$loop" 2>/dev/null || partx -u "$loop"
stick=${loop}p1
[ "$(sfdisk -q -l -o Start "$loop" | awk 'NR == 2 {print $1}')" = 32 ] ||
  fail "the partition does not start at LBA 32: $(sfdisk -q -l "$loop")"
out=$(fsck.fat -n "$stick" 2>&1) || fail "fsck.fat -n finds faults: $out"
rest=$(grep -v -e '^fsck.fat ' -e '^Free cluster summary uninitialized' \
         -e "^$stick: [0-9]* files, [0-9/]* clusters\$" <<<"$out" || true)
[ -z "$rest" ] || fail "fsck.fat -n reports: $out"
mkdir "$work/back"
mcopy -s -n -i "$stick" '::/*' "$work/back/" 2>"$work/mcopy.txt" ||
  fail "mcopy cannot read the stick: $(cat "$work/mcopy.txt")"
(cd "$user" && find . -type f) | while read -r file; do
  cmp -s "$user/$file" "$work/back/$file" || fail "the user's $file is not back as it was"
done
[ -d "$work/back/Docs/Sub folder" ] || fail "the user's subfolder is not back"
cmp -s "$extra/Tools/FLASH.BAT" "$work/back/Tools/FLASH.BAT" || fail "the copy folder is not on the stick"
cmp -s "$extra/AUTOEXEC.BAT" "$work/back/AUTOEXEC.BAT" || fail "the copy folder's AUTOEXEC.BAT is not on the stick"
payload=$(sed -n 's/^CORVANTIX_PAYLOAD_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
for file in KERNEL.SYS COMMAND.COM; do
  cmp -s "$payload/$file" "$work/back/$file" || fail "FreeDOS's $file is not on the stick"
done
for file in CONFIG.SYS ThirdPartyLicenses.txt; do
  [ -s "$work/back/$file" ] || fail "$file is not on the stick"
done
"$src/tests/boot/qemu_boot.sh" "$work/stick.img" --timeout 60 >"$work/boot.txt" 2>&1 ||
  fail "FreeDOS does not boot from the prepared stick: $(tail -5 "$work/boot.txt")"
echo "whole run under Wine: formatted through the window, the device restarted," \
  "the user's files and the copy folder on the stick, fsck.fat clean, FreeDOS boots"
