# Shared by the window tests: finding windows, screenshots and reading the
# layout of the main window off its pixels. Sourced, not run.
#
# The main window's layout in design pixels: header 91 high; below it the
# information text and three rows of 29; columns 85 | rest | 85; every
# control 3 px inside its cell. `check_main_layout` finds these edges in a
# screenshot, scaled by SX and SY (1 for the host build; the dialog font's
# scale under Wine).

fail() { echo "FAIL: $*" >&2; exit 1; }

# use_wine PROGRAM PREFIX: Wine for the program's word size, in PREFIX.
# A PE32+ program runs under the 64-bit loader in a 64-bit prefix: the
# `wine` command picks the 32-bit loader whenever wine32 is installed, even
# on machines that cannot run it. A PE32 program runs under `wine` in a
# 32-bit prefix. Start programs with "${wine[@]}".
use_wine() {
  export WINEPREFIX=$2 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
  if file -b "$1" | grep -q '^PE32+'; then
    export WINELOADER=/usr/lib/wine/wine64
    unset WINEARCH
    wine=(/usr/lib/wine/wine64)
  else
    export WINEARCH=win32
    unset WINELOADER
    wine=(wine)
  fi
  # A server still running for the prefix, left by the script before, would
  # serve this script's programs with that script's display, or with none:
  # Wine's desktop process keeps the display it started with.
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  # A new prefix is made before the program's first start: Wine's remarks
  # on making it stay out of the program's output, and no time limit for a
  # window pays for it.
  if [ ! -d "$WINEPREFIX/dosdevices" ]; then
    "${wine[@]}" wineboot --init >/dev/null 2>&1 || true
    wineserver -w || true
  fi
}

# wait_window NAME [SECONDS]: prints the ID of the visible window titled
# exactly NAME once it is there.
wait_window() {
  local name=$1 limit=${2:-30} id=""
  for _ in $(seq 1 $((limit * 4))); do
    id=$(xdotool search --onlyvisible --name "^${name}\$" 2>/dev/null | head -1 || true)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.25
  done
  return 1
}

# wait_gone NAME [SECONDS]: succeeds once no visible window is titled NAME.
wait_gone() {
  local name=$1 limit=${2:-15}
  for _ in $(seq 1 $((limit * 4))); do
    xdotool search --onlyvisible --name "^${name}\$" >/dev/null 2>&1 || return 0
    sleep 0.25
  done
  return 1
}

# await_program_end: waits up to 15 s for the program `pid` to end after
# its last window closed; its exit status is left in `status`, and `pid` is
# emptied so that no cleanup signals another process under that number.
await_program_end() {
  status=0
  for _ in $(seq 1 60); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.25
  done
  wait "$pid" || status=$?
  pid=""
}

# press ID KEY...: the keys as typed into the window, which gets the focus
# first (there is no window manager to give it).
press() {
  local id=$1
  shift
  xdotool windowfocus --sync "$id" 2>/dev/null || xdotool windowfocus "$id"
  xdotool key --delay 80 "$@"
}

window_count() {
  xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | wc -l
}

# window_size ID: prints "WIDTH HEIGHT".
window_size() {
  local WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$1" | grep -E '^(WIDTH|HEIGHT)=')"
  echo "$WIDTH $HEIGHT"
}

# main_window_scale ID: the main window's client size in `w` and `h`, and
# in `sx` and `sy` its scale against the 634x253 of its layout.
main_window_scale() {
  read -r w h < <(window_size "$1")
  sx=$(awk -v w="$w" 'BEGIN {print w / 634}')
  sy=$(awk -v h="$h" 'BEGIN {print h / 253}')
}

# wine_work PROGRAM PREFIX: use_wine, and a work folder in `work` that
# goes, with the prefix's Wine server, when the script ends.
wine_work() {
  use_wine "$1" "$2"
  work=$(mktemp -d)
  trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
}

# shoot ID FILE: a screenshot of the window, taken when two in a row agree
# (the window has finished drawing).
shoot() {
  local id=$1 file=$2 previous=""
  for _ in $(seq 1 20); do
    import -window "$id" "$file" 2>/dev/null || { sleep 0.25; continue; }
    local sum
    sum=$(convert "$file" rgba:- | md5sum)
    [ "$sum" = "$previous" ] && return 0
    previous=$sum
    sleep 0.3
  done
  [ -f "$file" ] || fail "no screenshot of window $id"
}

# Grey levels (0-255) of one column or row of an image, one a line.
column_of() { convert "$1" -crop "1x$3+$2+0" +repage -colorspace gray -depth 8 txt:- | awk -F'[(),]' 'NR > 1 {print int($4)}'; }
row_of() { convert "$1" -crop "$3x1+0+$2" +repage -colorspace gray -depth 8 txt:- | awk -F'[(),]' 'NR > 1 {print int($4)}'; }

# first_dark VALUES FROM TO: the first position from FROM towards TO
# (either direction) whose value is below 230, or -1: a control's border,
# darker than its face and than the toolkit's soft shadows.
first_dark() {
  awk -v from="$2" -v to="$3" '{v[NR - 1] = $1}
    END {step = from <= to ? 1 : -1
         for (i = from; i != to + step; i += step) if (v[i] < 230) {print i; exit}
         print -1}' <<<"$1"
}
# first_white VALUES FROM TO: the same for a pure white value.
first_white() {
  awk -v from="$2" -v to="$3" '{v[NR - 1] = $1}
    END {step = from <= to ? 1 : -1
         for (i = from; i != to + step; i += step) if (v[i] == 255) {print i; exit}
         print -1}' <<<"$1"
}

# read_text FILE X Y WIDTH HEIGHT: the text that tesseract reads in that
# part of the screenshot, enlarged, on one line.
read_text() {
  local out
  out=$(mktemp --suffix=.png)
  convert "$1" -crop "$4x$5+$2+$3" +repage -colorspace gray -resize 400% \
    -normalize "$out"
  tesseract "$out" - --psm 7 2>/dev/null | tr -s '\n' ' '
  rm -f "$out"
}

# main_texts FILE SX SY: what a person reads in the device list's text
# field, the Refresh button, the check box and the Format button, one a
# line. The buttons and the field are read inside their borders; the check
# box, which is as wide as its text, in its whole cell, so that a text cut
# at its control's edge reads cut.
main_texts() {
  local file=$1 sx=$2 sy=$3 w h
  read -r w h < <(identify -format '%w %h\n' "$file")
  px() { awk -v v="$1" -v s="$2" 'BEGIN {printf "%d", v * s + 0.5}'; }
  local side row m my arrow field button
  side=$(px 85 "$sx") row=$(px 29 "$sy") m=$(px 3 "$sx") my=$(px 3 "$sy")
  arrow=$(px 20 "$sx") field=$(px 21 "$sy") button=$(px 23 "$sy")
  local top=$((h - 3 * row + my + 3)) bottom=$((h - row + my + 3))
  read_text "$file" $((side + m + 2)) "$top" \
    $((w - 2 * side - 2 * m - arrow - 4)) $((field - 6)); echo
  read_text "$file" $((w - side + m + 2)) "$top" $((side - 2 * m - 4)) \
    $((button - 6)); echo
  read_text "$file" 0 $((h - row)) "$side" "$row"; echo
  read_text "$file" $((side + m + 3)) "$bottom" $((w - 2 * side - 2 * m - 6)) \
    $((button - 6)); echo
}

# expect_texts TEXTS WANTED...: each line of TEXTS holds its WANTED part.
expect_texts() {
  local texts=$1 i=1 line
  shift
  for wanted in "$@"; do
    line=$(sed -n "${i}p" <<<"$texts")
    [[ $line == *"$wanted"* ]] || fail "read '$line' where '$wanted' belongs"
    i=$((i + 1))
  done
}

# near ACTUAL EXPECTED WHAT: ACTUAL within one pixel of EXPECTED.
near() {
  local d=$(($1 - $2))
  [ "${d#-}" -le 1 ] || fail "$3 at $1, expected $2"
}

# check_main_layout FILE SX SY: the header, the fixed rows and columns and
# the stretched middle of the main window as the screenshot FILE shows it.
check_main_layout() {
  local file=$1 sx=$2 sy=$3 w h
  read -r w h < <(identify -format '%w %h\n' "$file")
  px() { awk -v v="$1" -v s="$2" 'BEGIN {printf "%d", v * s + 0.5}'; }
  local header side row m
  header=$(px 91 "$sy") side=$(px 85 "$sx") row=$(px 29 "$sy") m=$(px 3 "$sx")
  local my
  my=$(px 3 "$sy")

  # Header: shaded down to its last line, white from the body on.
  local left
  left=$(column_of "$file" 5 "$h")
  near "$(first_white "$left" 0 $((h - 1)))" "$header" "header end"
  [ "$(sed -n 1p <<<"$left")" -lt 255 ] || fail "header top is not shaded"

  # Bottom row: the Format button is inside the last 29 px, 3 px in.
  local format_col
  format_col=$(column_of "$file" $((side + m + 8)) "$h")
  near "$(first_dark "$format_col" $((h - row - 1)) $((h - 1)))" $((h - row + my)) "Format top"
  near "$(first_dark "$format_col" $((h - 1)) $((h - row)))" $((h - my - 1)) "Format bottom"

  # Device row, above the progress row that keeps its height while the bar
  # is hidden: Refresh sits at the top of its cell.
  local refresh_col
  refresh_col=$(column_of "$file" $((w - side + m + 4)) "$h")
  near "$(first_dark "$refresh_col" $((h - 3 * row - 1)) $((h - 2 * row)))" \
    $((h - 3 * row + my)) "Refresh top"

  # Columns along the middle of the bottom row: Format from 85 + 3 to
  # 85 + 3 short of the right column, About 3 px inside the right column.
  local bottom y
  y=$((h - row / 2))
  bottom=$(row_of "$file" "$y" "$w")
  near "$(first_dark "$bottom" $((side - m + 1)) $((w - 1)))" $((side + m)) "Format left"
  near "$(first_dark "$bottom" $((w - side)) 0)" $((w - side - m - 1)) "Format right"
  near "$(first_dark "$bottom" $((w - side)) $((w - 1)))" $((w - side + m)) "About left"
  near "$(first_dark "$bottom" $((w - 1)) 0)" $((w - m - 1)) "About right"
}
