#!/usr/bin/env bash
# corvantix.exe's windows under Wine, as a person sees them on Xvfb: the
# main window's size and its fixed rows and columns (scaled by Wine's
# dialog font) before and after resizing, its texts as read in English and
# German, and the about window opening and closing. Wine has no HTML engine here (mshtml is switched off so that it
# does not offer to download one), so the about window may stay blank.
# Screenshots are kept in <build dir>/screenshots.
#   wine_windows.wine.sh <corvantix.exe> <source dir> <build dir>
set -euo pipefail
program=$(realpath "$1") src=$(realpath "$2") build=$(realpath "$3")
source "$src/tests/scripts/window_checks.sh"

if [ -z "${CORVANTIX_XVFB:-}" ]; then
  exec env CORVANTIX_XVFB=1 xvfb-run -a -s "-screen 0 1280x1024x24" \
    bash "$0" "$@"
fi

use_wine "$program" "$build/wineprefix-display"
shots=$build/screenshots
mkdir -p "$shots"
rm -f "$shots"/wine-*.png
work=$(mktemp -d)
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cd "$work"
"${wine[@]}" "$program" 2>"$work/stderr.txt" &
pid=$!

# A new prefix is set up on first use, which takes a while.
main=$(wait_window Corvantix 180) || fail "no main window: $(cat "$work/stderr.txt")"
sleep 1
main_window_scale "$main"
echo "client area ${w}x$h: scale $sx x $sy"
awk -v x="$sx" -v y="$sy" 'BEGIN {exit !(x > 0.6 && x < 3 && y > 0.6 && y < 3)}' ||
  fail "client area ${w}x$h is not the scaled 634x253"
shoot "$main" "$shots/wine-main.png"
check_main_layout "$shots/wine-main.png" "$sx" "$sy"
# Wine has no USB disk: the list, which has the focus, shows its hint
# (read in part: the caret may stand over a letter).
expect_texts "$(main_texts "$shots/wine-main.png" "$sx" "$sy")" \
  "search for devices" Refresh Backup Format

xdotool windowsize "$main" $((w + 250)) $((h + 150))
for _ in $(seq 1 20); do
  [ "$(window_size "$main")" = "$((w + 250)) $((h + 150))" ] && break
  sleep 0.25
done
[ "$(window_size "$main")" = "$((w + 250)) $((h + 150))" ] || fail "window does not resize"
shoot "$main" "$shots/wine-main-resized.png"
check_main_layout "$shots/wine-main-resized.png" "$sx" "$sy"
xdotool windowsize "$main" "$w" "$h"
sleep 0.5

# About, on the right of the bottom row.
about_x=$(awk -v w="$w" -v s="$sx" 'BEGIN {printf "%d", w - 40 * s}')
about_y=$(awk -v h="$h" -v s="$sy" 'BEGIN {printf "%d", h - 14 * s}')
xdotool mousemove --window "$main" "$about_x" "$about_y" click 1
about=$(wait_window "About/Help" 30) || fail "no about window"
sleep 1
read -r aw ah < <(window_size "$about")
want_w=$(awk -v s="$sx" 'BEGIN {printf "%d", 784 * s + 0.5}')
want_h=$(awk -v s="$sy" 'BEGIN {printf "%d", 562 * s + 0.5}')
near "$aw" "$want_w" "about window width"
near "$ah" "$want_h" "about window height"
shoot "$about" "$shots/wine-about.png"
xdotool mousemove --window "$main" "$about_x" "$about_y" click 1
sleep 1
[ "$(window_count "About/Help")" -eq 1 ] || fail "About opened a second window"

python3 "$src/tests/scripts/x11_close.py" "$about"
wait_gone "About/Help" || fail "about window does not close"

python3 "$src/tests/scripts/x11_close.py" "$main"
await_program_end
[ "$status" -eq 0 ] || fail "program ended with $status: $(cat "$work/stderr.txt")"
# The German texts, given on the command line (Wine here has no German
# locale), fit the same cells.
german=()
while IFS= read -r entry; do
  german+=(--text "$entry")
done < <(sed -n 's/.*<Entry name="\(UI_[A-Z_]*\)">\(.*\)<\/Entry>.*/\1=\2/p' \
           "$src/resources/strings/glob.de-DE.xml")
[ ${#german[@]} -ge 18 ] || fail "no German window texts found"
"${wine[@]}" "$program" "${german[@]}" 2>"$work/stderr.txt" &
pid=$!
main=$(wait_window Corvantix 60) || fail "no main window with German texts"
sleep 1
shoot "$main" "$shots/wine-main-de.png"
check_main_layout "$shots/wine-main-de.png" "$sx" "$sy"
expect_texts "$(main_texts "$shots/wine-main-de.png" "$sx" "$sy")" \
  "um nach" Aktualisieren Backup Formatieren
python3 "$src/tests/scripts/x11_close.py" "$main"
await_program_end
[ "$status" -eq 0 ] || fail "the German window ended with $status"

# Help mode: the about window alone; closing it ends the program with 0.
"${wine[@]}" "$program" --help 2>"$work/stderr.txt" &
pid=$!
help=$(wait_window "About/Help" 60) || fail "no about window in help mode"
[ "$(window_count Corvantix)" -eq 0 ] || fail "help mode shows the main window"
python3 "$src/tests/scripts/x11_close.py" "$help"
await_program_end
[ "$status" -eq 0 ] || fail "help mode ended with $status: $(cat "$work/stderr.txt")"
echo "wine windows: layout, about window, closing and help mode as required"
