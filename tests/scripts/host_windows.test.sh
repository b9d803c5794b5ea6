#!/usr/bin/env bash
# The host program's windows as a person sees them, under Xvfb on the
# built-in default machine: the main window's size and its fixed rows and
# columns before and after resizing, a whole run from Format to "Format
# Successful!", and the about window with its pages. Screenshots are kept in
# <build dir>/screenshots.
#   host_windows.test.sh <corvantix> <source dir> <build dir>
set -euo pipefail
program=$(realpath "$1") src=$(realpath "$2") build=$(realpath "$3")
source "$src/tests/scripts/window_checks.sh"

if [ -z "${CORVANTIX_XVFB:-}" ]; then
  exec env CORVANTIX_XVFB=1 xvfb-run -a -s "-screen 0 1280x1024x24" \
    bash "$0" "$@"
fi

shots=$build/screenshots
mkdir -p "$shots"
rm -f "$shots"/host-*.png
work=$(mktemp -d)
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# English texts; GTK's own leak reports are not the program's.
export LANG=C.UTF-8 LC_ALL= LC_MESSAGES=
export ASAN_OPTIONS=detect_leaks=0
export CORVANTIX_MACHINE=demo # the images in the current folder
cd "$work"
"$program" 2>"$work/stderr.txt" &
pid=$!

main=$(wait_window Corvantix) || fail "no main window"
read -r w h < <(window_size "$main")
[ "$w $h" = "634 253" ] || fail "main window client area is ${w}x$h, not 634x253"
shoot "$main" "$shots/host-main.png"
check_main_layout "$shots/host-main.png" 1 1

# Growing the window widens the middle column and heightens the
# information text only.
xdotool windowsize "$main" 900 420
for _ in $(seq 1 20); do
  [ "$(window_size "$main")" = "900 420" ] && break
  sleep 0.25
done
shoot "$main" "$shots/host-main-resized.png"
check_main_layout "$shots/host-main-resized.png" 1 1
xdotool windowsize "$main" 634 253
sleep 0.5

ocr() { convert "$1" -scale 300% -colorspace gray "$work/ocr.png" && tesseract "$work/ocr.png" - 2>/dev/null; }

# A run on the default stick: Format, Yes to the backup question, then the
# result box.
xdotool mousemove --window "$main" 300 238 click 1
question=$(wait_window "Warning!" 10) || fail "no backup question after Format"
shoot "$question" "$shots/host-question.png"
ocr "$shots/host-question.png" | grep -qi "backup" || fail "backup question unreadable"
press "$question" Return
result=$(wait_window "Format successful!" 120) || {
  failed=$(wait_window "Format failed!" 1) && shoot "$failed" "$shots/host-failed.png"
  fail "no success box after the run (see $shots)"
}
shoot "$result" "$shots/host-result.png"
ocr "$shots/host-result.png" | grep -q "Format Successful!" || fail "success text unreadable"
press "$result" Return
wait_gone "Format successful!" || fail "result box stays"
sleep 0.5
shoot "$main" "$shots/host-main-after-run.png"
check_main_layout "$shots/host-main-after-run.png" 1 1

# About: one window with the documentation page; a second click while it
# is open adds none.
xdotool mousemove --window "$main" 591 238 click 1
about=$(wait_window "About/Help") || fail "no about window"
read -r aw ah < <(window_size "$about")
[ "$aw" -ge 784 ] && [ "$ah" -ge 562 ] || fail "about window is ${aw}x$ah"
page=""
for _ in $(seq 1 20); do
  shoot "$about" "$shots/host-about.png"
  page=$(ocr "$shots/host-about.png")
  grep -q "Technology" <<<"$page" && break
  sleep 0.5
done
grep -q "Technology" <<<"$page" || fail "about window does not show the documentation"
xdotool mousemove --window "$main" 591 238 click 1
sleep 1
[ "$(window_count "About/Help")" -eq 1 ] || fail "About opened a second window"

# The fourth link of the menu is the GPL page, served from the program's
# own pages.
press "$about" Tab Tab Tab Tab Return
for _ in $(seq 1 20); do
  sleep 0.5
  shoot "$about" "$shots/host-about-gpl.png"
  page=$(ocr "$shots/host-about-gpl.png")
  grep -q "GENERAL PUBLIC LICENSE" <<<"$page" && break
done
grep -q "GENERAL PUBLIC LICENSE" <<<"$page" || fail "the GPL link does not show the GPL page"

# Closed by its close box, About opens a new one.
python3 "$src/tests/scripts/x11_close.py" "$about"
wait_gone "About/Help" || fail "about window does not close"
xdotool mousemove --window "$main" 591 238 click 1
wait_window "About/Help" >/dev/null || fail "About does not open again"

# Closing the main window closes the about window and ends the program.
python3 "$src/tests/scripts/x11_close.py" "$main"
status=0
wait "$pid" || status=$?
pid=""
[ "$status" -eq 0 ] || fail "program ended with $status: $(cat "$work/stderr.txt")"
wait_gone "About/Help" 2 || fail "about window outlives the main window"
# Help mode: the about window alone; closing it ends the program with 0.
"$program" --help 2>"$work/stderr.txt" &
pid=$!
# WebKit starts its web process first, which takes long on a loaded machine.
help=$(wait_window "About/Help" 150) ||
  fail "no about window in help mode ($(kill -0 "$pid" 2>/dev/null &&
    echo "the program still runs" || echo "the program has ended")): $(cat "$work/stderr.txt")"
[ "$(window_count Corvantix)" -eq 0 ] || fail "help mode shows the main window"
python3 "$src/tests/scripts/x11_close.py" "$help"
await_program_end
[ "$status" -eq 0 ] || fail "help mode ended with $status: $(cat "$work/stderr.txt")"
echo "host windows: layout, run, about pages, closing and help mode as required"
