#!/usr/bin/env bash
# Ctrl-C, SIGTERM and SIGHUP at each step of `corvantix --yes` on a
# terminal (a pseudo-terminal; Ctrl-C is the terminal's interrupt character,
# which the kernel turns into SIGINT for the foreground process group), on
# a stick holding a few hundred files:
#  - during the backup: exit code 130, "Stopped. Nothing was changed on the
#    stick.", the stick byte for byte as it was, no backup folder and no
#    record left;
#  - once the stick is being changed, one signal: a line says the run goes
#    on to its end, which it does ("Format Successful!", exit code 0, every
#    file back, nothing left behind);
#  - two signals: exit code 130 at once with the line naming the backup
#    folder, which holds the files; the record stays, and one plain next run
#    finishes the run (every file back, nothing left behind).
# A signal that lands later than meant (the step was over) is judged by what
# the run did, and the row is tried again, up to three times.
#   stop_signals.test.sh <corvantix> <source dir> <build dir>
set -euo pipefail
program=$(realpath "$1") src=$(realpath "$2") build=$(realpath "$3")
source "$src/tests/scripts/stick_files.sh"

for tool in mcopy mattrib fsck.fat python3; do
  command -v "$tool" >/dev/null || { echo "SKIPPED stop signals: $tool is not installed"; exit 0; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/stop-signals.XXXXXX")
trap 'rm -rf "$work"' EXIT
source "$src/tests/scripts/demo_run.sh"
demo_run_in "$work"
payload=$(sed -n 's/^CORVANTIX_PAYLOAD_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
records=$XDG_STATE_HOME/corvantix
backups=$TMPDIR/Corvantix
stick=$work/stick.img

fail() { echo "FAIL: $*" >&2; exit 1; }

make_user_stick original.img 64M 2718 400

# Rows: the step line at which the signal goes, the signal, how many times,
# and what the run is to do: stop with the stick as it was, go on to its
# end, or stop where it is.
rows=(
  "creating backup...|INT|1|stopped"
  "Formating...|INT|1|goes-on"
  "Installing FreeDOS...|INT|1|goes-on"
  "restoring backup...|INT|1|goes-on"
  "Formating...|INT|2|stopped-now"
  "Installing FreeDOS...|INT|2|stopped-now"
  "restoring backup...|INT|2|stopped-now"
  "creating backup...|TERM|1|stopped"
  "restoring backup...|TERM|2|stopped-now"
  "creating backup...|HUP|1|stopped"
  "Formating...|HUP|2|stopped-now"
)
# The steps a run stopped at a row's step may have reached on record.
declare -A later_steps=(
  ["Formating..."]="format freedos restore restored"
  ["Installing FreeDOS..."]="freedos restore restored"
  ["restoring backup..."]="restore restored")

no_leftovers() {
  [ -z "$(find "$backups" -mindepth 1 2>/dev/null)" ] ||
    fail "$1: left in $backups: $(find "$backups" -mindepth 1 | head -3)"
  [ -z "$(find "$records" -name '*.run' 2>/dev/null)" ] ||
    fail "$1: a record is left: $(find "$records" -name '*.run')"
}

# try_row WHAT WHEN SIGNAL COUNT: one run from the original stick with the
# signals sent; judges what the run did and sets $outcome to it.
try_row() {
  local what=$1 when=$2 signal=$3 count=$4 result status sent text record folder recorded
  cp --sparse=always original.img "$stick"
  result=$(python3 "$src/tests/scripts/pty_signals.py" "$work/pty.txt" "$when" "$signal" \
    "$count" "$program" --yes "$stick")
  read -r status sent <<<"$result"
  # The terminal's output as lines: the bar is redrawn after a carriage
  # return, the terminal shows line ends as CR LF.
  tr '\r' '\n' <"$work/pty.txt" | sed '/^$/d' >"$work/out.txt"
  text=$(cat "$work/out.txt")
  [ -n "$sent" ] || fail "$what: '$when' never showed: $text"
  what+=" (sent during: ${sent//_/ })"
  local going_on="corvantix: The stick is being changed, so the run goes on to its end. Press Ctrl-C again to stop now: your files then stay in '"
  if [ "$status" = 130 ] && grep -qx 'corvantix: Stopped. Nothing was changed on the stick.' "$work/out.txt"; then
    outcome=stopped
    ! grep -qF "$going_on" "$work/out.txt" || fail "$what: said it goes on, then stopped: $text"
    cmp -s "$stick" original.img || fail "$what: the stick changed: $text"
    no_leftovers "$what"
  elif [ "$status" = 130 ]; then
    outcome=stopped-now
    record=$(find "$records" -name '*.run')
    [ "$(grep -c . <<<"$record")" = 1 ] || fail "$what: not one record after the stop: '$record': $text"
    folder=$(sed -n 's/^folder=//p' "$record") recorded=$(sed -n 's/^step=//p' "$record")
    [ -n "$folder" ] || fail "$what: the record names no backup folder: $(cat "$record")"
    grep -qxF "$going_on$folder', and the next start of Corvantix on this stick finishes the run." \
      "$work/out.txt" || fail "$what: no line saying that the run goes on: $text"
    grep -qxF "corvantix: Stopped while the stick was being changed. Your files are in '$folder'; start Corvantix again on this stick to finish the run." \
      "$work/out.txt" || fail "$what: no line naming '$folder' after the second signal: $text"
    [[ " ${later_steps[$when]} " == *" $recorded "* ]] ||
      fail "$what: stopped in the step '$when', the record says '$recorded'"
    # Once restored and checked, the files are on the stick and the backup
    # is being removed.
    if [ "$recorded" != restored ]; then
      diff -r "$work/expected" "$folder" >"$work/diff.txt" ||
        fail "$what: the backup folder does not hold the files: $(head -5 "$work/diff.txt")"
    fi
    # The next plain run finishes it.
    status=0
    "$program" --yes "$stick" </dev/null 2>"$work/next.txt" || status=$?
    [ "$status" = 0 ] && [ "$(tail -n 1 "$work/next.txt")" = "corvantix: Format Successful!" ] ||
      fail "$what: the next run ended with $status: $(cat "$work/next.txt")"
    grep -q '^corvantix: Finishing the run on ' "$work/next.txt" ||
      fail "$what: the next run did not finish the stopped one: $(cat "$work/next.txt")"
    ! grep -qx 'creating backup\.\.\.' "$work/next.txt" ||
      fail "$what: the half-made stick was backed up: $(cat "$work/next.txt")"
    what+=" (stopped at '$recorded', finished by the next run)"
  elif [ "$status" = 0 ] && [ "$(tail -n 1 "$work/out.txt")" = "corvantix: Format Successful!" ]; then
    outcome=goes-on
    grep -qF "$going_on$backups/" "$work/out.txt" || fail "$what: no line saying that the run goes on: $text"
    ! grep -q '^corvantix: Stopped' "$work/out.txt" || fail "$what: said it stopped, and went on: $text"
  else
    fail "$what: exit code $status: $text"
  fi
  if [ "$outcome" != stopped ]; then
    check_user_files "$what" "$stick"
    check_clean_stick "$what" "$stick"
    no_leftovers "$what"
  fi
  echo "$what: $outcome, checked"
}

passed=0 missed=()
for row in "${rows[@]}"; do
  IFS='|' read -r when signal count want <<<"$row"
  name="SIG$signal x$count at '$when'"
  for attempt in 1 2 3; do
    try_row "$name, try $attempt" "$when" "$signal" "$count"
    [ "$outcome" != "$want" ] || break
    # Only lateness explains another outcome: a stop that came after the
    # stick began to change, or a second signal after the run's end.
    [ "$outcome" = goes-on ] || fail "$name: $outcome, where $want was meant"
  done
  if [ "$outcome" = "$want" ]; then
    passed=$((passed + 1))
  else
    missed+=("$name")
  fi
done
late=""
[ "${#missed[@]}" = 0 ] || late="; the signal landed late in every try of: ${missed[*]}"
echo "stop signals: ${#rows[@]} rows checked, $passed with the outcome they aim at$late"
