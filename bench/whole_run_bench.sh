#!/usr/bin/env bash
# Whole unattended runs on loop-device sticks beside the manual route to the
# same stick, at 1,000, 10,000 and 100,000 files of 4 KiB in 100 folders:
#   Corvantix: corvantix --yes (backup, format, FreeDOS, restore, read-back);
#   manual:    mcopy -s out, sfdisk, mkfs.fat -F 32, mcopy -s in, sync
#              (nothing read back).
# Then four sticks of 5,000 files at once beside one of them alone. Best
# of three of each; the loop devices' backing files and each run's host
# folders (a new ext4 file system for each run) are in a disk-backed folder
# (not tmpfs), where a flush costs what it costs a real stick. Root only.
#   whole_run_bench.sh <corvantix> <source dir> [counts...]
set -euo pipefail
program=$(realpath "$1") src=$(realpath "$2")
shift 2
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1000 10000 100000)
source "$src/tests/scripts/loop_devices.sh"
[ "$(id -u)" = 0 ] || { echo "loop devices need root"; exit 1; }
export LANG=C.UTF-8 MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1
unset DISPLAY WAYLAND_DISPLAY
work=$(mktemp -d /var/tmp/whole-run-bench.XXXXXX)
echo "working folder: $work"
export XDG_STATE_HOME=$work/state
# The loop devices are made in subshells: they are found by their files.
cleanup() {
  local image loop
  mountpoint -q "$work/host-fs" && umount "$work/host-fs"
  for image in "$work"/stick*.img; do
    for loop in $(losetup -j "$image" 2>/dev/null | cut -d: -f1); do
      detach "$loop"
    done
  done
  rm -rf "$work"
}
trap cleanup EXIT

# make_tree COUNT: COUNT files of 4 KiB in 100 folders, made once.
make_tree() {
  local tree=$work/tree-$1 per=$(( ($1 + 99) / 100 ))
  [ -d "$tree" ] && { echo "$tree"; return; }
  python3 - "$tree" "$1" "$per" <<'PY'
import os, sys
tree, count, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
block = os.urandom(4096)
for i in range(count):
    folder = os.path.join(tree, "DIR%03d" % (i // per))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "F%05d.BIN" % i), "wb") as f:
        f.write(block[i % 4096:] + block[:i % 4096])
PY
  echo "$tree"
}

# stick N COUNT: loop device N, a 1 GiB stick as sold holding the tree.
stick() {
  local image=$work/stick$1.img tree
  tree=$(make_tree "$2")
  rm -f "$image"
  truncate -s 1G "$image"
  echo 'start=1MiB, type=c' | sfdisk -q "$image" >/dev/null
  mkfs.fat -F 32 --offset 2048 -n "USB STICK" "$image" >/dev/null 2>&1
  mcopy -s -i "$image@@1048576" "$tree"/* ::/
  local loop
  loop=$(losetup -f --show "$image")
  partx -d "$loop" 2>/dev/null || true
  sync
  echo "$loop"
}

# Each timed run has a new ext4 file system for its host folders (the
# backup, the manual route's copy), in a file of the disk-backed working
# folder, made like the one that holds it (with or without a journal): on
# ext4 without a journal a new inode passes over, reading each, the inodes
# freed in the last minutes, so a route that creates files after another
# deleted thousands would pay up to a millisecond a file for them.
read -r fstype source < <(findmnt -no FSTYPE,SOURCE -T "$work")
features=()
if [ "$fstype" = ext4 ] && ! compgen -G "/proc/fs/jbd2/$(basename "$source")-*" >/dev/null; then
  features=(-O ^has_journal)
fi
host_fs=$work/host-fs
mkdir "$host_fs"
echo "(host folders of each run: a new ext4 ${features[*]} in $work/host-fs.img)"
fresh_host_folders() {
  mountpoint -q "$host_fs" && umount "$host_fs"
  rm -f "$work/host-fs.img"
  truncate -s 8G "$work/host-fs.img"
  mkfs.ext4 -q -F "${features[@]}" "$work/host-fs.img"
  mount -o loop "$work/host-fs.img" "$host_fs"
  mkdir "$host_fs/tmp" "$host_fs/manual"
  sync
}
export TMPDIR=$host_fs/tmp

seconds() { local t0=$1; echo "$(date +%s.%N) - $t0" | bc; }
best() { printf '%s\n' "$@" | sort -n | head -1; }

corvantix_run() { # LOOP...
  local letters=() i=0 line=""
  : >"$work/machine.txt"
  for loop in "$@"; do
    local letter
    letter=$(printf "\\x$(printf %x $((69 + i)))")
    echo "disk $loop interface=USB letter=$letter model=\"Bench Stick $i\"" >>"$work/machine.txt"
    letters+=("$letter")
    i=$((i + 1))
  done
  local t0
  fresh_host_folders
  t0=$(date +%s.%N)
  CORVANTIX_MACHINE=$work/machine.txt "$program" --yes --notxt "${letters[@]}" \
    </dev/null 2>"$work/err.txt" || { cat "$work/err.txt" >&2; return 1; }
  seconds "$t0"
}

# mcopy, without its remark that a block device has no floppy geometry.
quiet_mcopy() {
  mcopy "$@" 2> >(grep -v "Could not get geometry" >&2)
}

manual_run() { # LOOP
  local loop=$1 t0
  fresh_host_folders
  t0=$(date +%s.%N)
  quiet_mcopy -s -i "$loop@@1048576" '::/*' "$host_fs/manual/"
  echo 'start=1MiB, type=c, bootable' | sfdisk -q --wipe always "$loop" >/dev/null 2>&1
  mkfs.fat -F 32 --offset 2048 "$loop" >/dev/null 2>&1
  quiet_mcopy -s -i "$loop@@1048576" "$host_fs/manual"/* ::/
  sync
  seconds "$t0"
}

printf '%-34s %10s %10s %8s\n' "files (4 KiB, 100 folders)" "Corvantix" "manual" "ratio"
declare -A best_time
for count in "${counts[@]}"; do
  ours=() theirs=()
  for try in 1 2 3; do
    loop=$(stick 0 "$count"); ours+=("$(corvantix_run "$loop")"); detach "$loop"
    loop=$(stick 0 "$count"); theirs+=("$(manual_run "$loop")"); detach "$loop"
  done
  a=$(best "${ours[@]}") b=$(best "${theirs[@]}")
  best_time[$count]=$a
  printf '%-34s %10.2f %10.2f %7.2fx\n' "$count" "$a" "$b" "$(echo "$a / $b" | bc -l)"
done
if [ -n "${best_time[10000]:-}" ] && [ -n "${best_time[100000]:-}" ]; then
  printf '100,000 files take %.1fx the time of 10,000\n' \
    "$(echo "${best_time[100000]} / ${best_time[10000]}" | bc -l)"
fi

one=() four=()
for try in 1 2 3; do
  loop=$(stick 0 5000); one+=("$(corvantix_run "$loop")"); detach "$loop"
  set -- ; for n in 0 1 2 3; do set -- "$@" "$(stick $n 5000)"; done
  four+=("$(corvantix_run "$@")")
  for loop in "$@"; do detach "$loop"; done
done
a=$(best "${four[@]}") b=$(best "${one[@]}")
printf 'four sticks of 5,000 files at once: %.2f s, one alone: %.2f s, %.2fx\n' "$a" "$b" \
  "$(echo "$a / $b" | bc -l)"
