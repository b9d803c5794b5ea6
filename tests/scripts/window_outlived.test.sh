#!/usr/bin/env bash
# The host program when its window goes during a run: destroyed by another
# X client, its X connection killed, the X server gone, or SIGTERM, SIGINT
# or SIGHUP. The run goes on to its end, the program ends with 1 and tells
# the run's outcome on its error stream, and the user's files are on the
# stick. Without a run, a signal ends the program as it ends any program
# that does not catch it, with the stick as the program left it. A machine
# file that names a FIFO as an image ends the program with a message
# instead of blocking it.
#   window_outlived.test.sh <corvantix> <source dir> <build dir>
set -euo pipefail
program=$(realpath "$1") src=$(realpath "$2")
source "$src/tests/scripts/window_checks.sh"

work=$(mktemp -d)
pid="" xvfb=""
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

export LANG=C.UTF-8 LC_ALL= LC_MESSAGES=
export ASAN_OPTIONS=detect_leaks=0
unset WAYLAND_DISPLAY
export CORVANTIX_MACHINE=demo # the images in the current folder

# An X server of our own, since some cases kill it.
start_x() {
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp \
    3>"$work/display" 2>/dev/null &
  xvfb=$!
  for _ in $(seq 1 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
  done
  export DISPLAY=":$(cat "$work/display")"
}

# The user's stick: an MBR with one FAT32 partition at 1 MiB holding a
# letter and a photo folder.
make_stick() {
  local image=$1
  python3 - "$image" <<'EOF'
import struct, sys
size = 64 << 20
with open(sys.argv[1], "wb") as f:
    f.truncate(size)
    f.seek(446)
    f.write(struct.pack("<B3sB3sII", 0, b"\0\2\0", 0x0C, b"\xfe\xff\xff",
                        2048, size // 512 - 2048))
    f.seek(510)
    f.write(b"\x55\xaa")
EOF
  mkfs.fat -F 32 --offset 2048 "$image" $((63 * 1024)) >/dev/null
  echo "Dear user, this letter must survive." >"$work/letter"
  head -c 300000 /dev/urandom >"$work/photo"
  mcopy -i "$image@@1M" "$work/letter" ::LETTER.TXT
  mmd -i "$image@@1M" ::Photos
  mcopy -i "$image@@1M" "$work/photo" ::Photos/HOLIDAY.JPG
}

# volume IMAGE: the image's first partition, as mtools names it.
volume() {
  echo "$1@@$(($(od -An -tu4 -j454 -N4 "$1") * 512))"
}

# on_stick IMAGE PATH LOCAL: the stick holds PATH with LOCAL's bytes.
on_stick() {
  local at
  at=$(volume "$1")
  mtype -i "$at" "::$2" 2>/dev/null | cmp -s - "$3" ||
    fail "$2 is not on the stick: $(mdir -i "$at" -/ :: 2>&1 | head -20)"
}

# A copy folder big enough that the run is still copying when each case
# strikes: 600 files.
mkdir -p "$work/big"
for i in $(seq 1 600); do
  head -c 2048 /dev/urandom >"$work/big/F$i.BIN"
done

# start_case NAME [ARGS...]: a fresh stick and the program running on it,
# its main window shown; sets case, pid and main.
start_case() {
  case=$work/$1
  shift
  mkdir -p "$case"
  make_stick "$case/stick.img"
  printf 'disk system.img size=16M interface=IDE\ndisk stick.img letter=E\n' \
    >"$case/machine.txt"
  (cd "$case" && exec env CORVANTIX_MACHINE="$case/machine.txt" \
    TMPDIR="$case" "$program" "$@" 2>"$case/stderr") &
  pid=$!
  main=$(wait_window Corvantix 60) || fail "$case: no main window"
}

# Format, Yes to the backup question: the run is under way.
start_run() {
  xdotool mousemove --window "$main" 300 238 click 1
  local question
  question=$(wait_window "Warning!" 20) || fail "$case: no backup question"
  press "$question" Return
  wait_gone "Warning!" 10 || fail "$case: the question stays"
}

# finish [SECONDS]: waits for the program's end; sets status.
finish() {
  local limit=${1:-120}
  for _ in $(seq 1 $((limit * 4))); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.25
  done
  kill -0 "$pid" 2>/dev/null && fail "$case: the program does not end"
  status=0
  wait "$pid" || status=$?
  pid=""
}

# The run ended after its window had gone: 1, the outcome on the error
# stream, the user's files on the stick next to the copied ones.
check_outlived() {
  [ "$status" -eq 1 ] || fail "$case: ended with $status: $(cat "$case/stderr")"
  grep -q "Format Successful!" "$case/stderr" ||
    fail "$case: no outcome on the error stream: $(cat "$case/stderr")"
  on_stick "$case/stick.img" LETTER.TXT "$work/letter"
  on_stick "$case/stick.img" Photos/HOLIDAY.JPG "$work/photo"
  on_stick "$case/stick.img" F600.BIN "$work/big/F600.BIN"
  [ ! -e "$case/drive.txt" ] || fail "$case: drive.txt after an unfinished window"
}

start_x

# Another X client destroys the main window.
start_case destroyed -c "$work/big"
start_run
python3 "$src/tests/scripts/x11_close.py" --destroy "$main"
finish
check_outlived

# The same in single-drive mode, where the run fails after the restore:
# the failure names what could not be copied.
start_case destroyed-failing -s E -c "$work/big" -c "$work/missing"
start_run
python3 "$src/tests/scripts/x11_close.py" --destroy "$main"
finish
[ "$status" -eq 1 ] || fail "$case: ended with $status"
grep -q "Could not copy the files from '$work/missing' to the device." \
  "$case/stderr" || fail "$case: failure not told: $(cat "$case/stderr")"
on_stick "$case/stick.img" LETTER.TXT "$work/letter"
on_stick "$case/stick.img" Photos/HOLIDAY.JPG "$work/photo"

# The program's X connection is killed (xdotool windowkill).
start_case killed -c "$work/big"
start_run
xdotool windowkill "$main"
finish
check_outlived

# Each signal that ends a program, during a run.
for signal in TERM INT HUP; do
  start_case "sig$signal" -c "$work/big"
  start_run
  kill -"$signal" "$pid"
  finish
  check_outlived
done

# Without a run, SIGTERM ends the program at once, by that signal.
start_case idle-term
kill -TERM "$pid"
finish 10
[ "$status" -eq 143 ] || fail "$case: ended with $status, not by SIGTERM"
wait_gone Corvantix 2 || fail "$case: the window stays"
on_stick "$case/stick.img" LETTER.TXT "$work/letter"

# A finished run, its window left open, then the session ends: the stick
# keeps what the run wrote.
start_case after-run
start_run
result=$(wait_window "Format successful!" 120) || fail "$case: no success box"
press "$result" Return
wait_gone "Format successful!" || fail "$case: result box stays"
kill -TERM "$pid"
finish 10
[ "$status" -eq 143 ] || fail "$case: ended with $status, not by SIGTERM"
on_stick "$case/stick.img" LETTER.TXT "$work/letter"
on_stick "$case/stick.img" Photos/HOLIDAY.JPG "$work/photo"
mdir -i "$(volume "$case/stick.img")" ::KERNEL.SYS >/dev/null || fail "$case: no KERNEL.SYS"

# A machine file naming a FIFO: a message naming the file and line, no
# image made, 1.
case=$work/fifo
mkdir -p "$case"
mkfifo "$case/stick.img"
printf 'disk system.img size=16M interface=IDE\ndisk stick.img letter=E\n' \
  >"$case/machine.txt"
(cd "$case" && exec env CORVANTIX_MACHINE="$case/machine.txt" "$program" \
  2>"$case/stderr") &
pid=$!
crash=$(wait_window "We apologize for the inconvenience." 30) ||
  fail "$case: no message for a FIFO image"
press "$crash" Return
finish 10
[ "$status" -eq 1 ] || fail "$case: ended with $status"
[ ! -e "$case/system.img" ] || fail "$case: an image was made"

# The X server goes away during a run.
start_case lost-server -c "$work/big"
start_run
kill "$xvfb"
wait "$xvfb" 2>/dev/null || true
xvfb=""
finish
check_outlived

echo "window outlived: runs end on their worker after the window, the display or a signal went"
