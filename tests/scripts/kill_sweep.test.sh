#!/usr/bin/env bash
# Runs killed with SIGKILL (no handler, no clean-up) at seeded random
# moments spread over the backup, the format, the FreeDOS step and the
# restore, on a stick holding a few hundred files in nested folders. After
# each kill:
#  - the stick's partition passes `fsck.fat -n` with nothing but lost
#    clusters and the free-cluster count (a kill during the backup leaves
#    the stick byte for byte as it was; a kill during the format may leave
#    anything, the format rewrites the file system in place);
#  - the record left says how far the run got;
#  - one plain next run finishes the run ("Finishing the run on ...", no new
#    backup of the half-made stick) or, when the stick had not changed yet,
#    starts anew; it ends with "Format Successful!", every original file is
#    back byte for byte with its attributes, the stick passes fsck.fat, and
#    neither a backup folder nor a record is left.
# Ten kills in a row in the first milliseconds of the backup, where its
# folder is made and its record written, leave nothing behind either once
# the next run is over.
# The same on a loop device standing in for a USB stick, when this is root
# and loop devices can be had; otherwise the reason is printed.
#   kill_sweep.test.sh <corvantix> <source dir> <build dir>
# CORVANTIX_SWEEP_SEED and CORVANTIX_SWEEP_KILLS change the sweep.
set -euo pipefail
program=$(realpath "$1") src=$(realpath "$2") build=$(realpath "$3")
source "$src/tests/scripts/loop_devices.sh"
source "$src/tests/scripts/stick_files.sh"

for tool in mcopy mattrib fsck.fat python3; do
  command -v "$tool" >/dev/null || { echo "SKIPPED kill sweep: $tool is not installed"; exit 0; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kill-sweep.XXXXXX")
loops=()
cleanup() {
  for loop in "${loops[@]}"; do detach "$loop"; done
  rm -rf "$work"
}
trap cleanup EXIT
source "$src/tests/scripts/demo_run.sh"
demo_run_in "$work"
payload=$(sed -n 's/^CORVANTIX_PAYLOAD_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
seed=${CORVANTIX_SWEEP_SEED:-5813}
kills=${CORVANTIX_SWEEP_KILLS:-8}
loop_kills=3
records=$XDG_STATE_HOME/corvantix
backups=$TMPDIR/Corvantix
echo "kill sweep: seed $seed (CORVANTIX_SWEEP_SEED=$seed repeats it)"

fail() { echo "FAIL: $*" >&2; exit 1; }

make_user_stick original.img 64M "$seed" 320

# The stick of the current sweep: $device is what is read and reset, run[]
# the plain run on it (a simple command: started with &, $! is the
# program's own id, env execs it).
device="" target="" machine="" run=()
use_stick() {
  device=$1 target=$2 machine=${3:-}
  run=(env ${machine:+CORVANTIX_MACHINE="$machine"} "$program" --yes "$target")
}
reset_stick() {
  if [ -b "$device" ]; then
    dd if=original.img of="$device" bs=4M conv=fsync status=none
  else
    cp --sparse=always original.img "$device"
  fi
}

# The step a killed run was in: its last step line on standard error.
step_of() {
  local line
  line=$(grep -x -E 'creating backup\.\.\.|Formating\.\.\.|Installing FreeDOS\.\.\.|restoring backup\.\.\.|Done!' "$1" | tail -n 1 || true)
  case $line in
    "") echo start ;;
    creating*) echo backup ;;
    Formating*) echo format ;;
    Installing*) echo freedos ;;
    restoring*) echo restore ;;
    Done!) echo done ;;
  esac
}

# The record's steps that go with each step line: a run records a step
# before it says it.
declare -A record_steps=(
  [start]="none backup" [backup]="none backup format" [format]="format freedos"
  [freedos]="freedos restore" [restore]="restore restored" [done]="none"
  [ended]="none")

# The kills' moments: each step in turn, counted from its line, at a seeded
# uniform moment of how long it lasted in one whole run.
anchors=("creating backup..." "Formating..." "Installing FreeDOS..." "restoring backup...")
# measure: one whole run from the original stick; sets lengths[] to how
# long each anchor's step lasted.
measure() {
  reset_stick
  local status
  status=$(python3 "$src/tests/scripts/killed_run.py" "$work/measure.txt" "" never "${run[@]}")
  [ "$status" = 0 ] && grep -q ' Format Successful!$' "$work/measure.txt" ||
    fail "a whole run failed: $(cat "$work/measure.txt")"
  local lines=("${anchors[@]}" "Done!") moments=() line
  for line in "${lines[@]}"; do
    moments+=($(awk -v text="$line" '{ t = $1; $1 = ""; sub(/^ /, "") } $0 == text { print t; exit }' \
      "$work/measure.txt"))
  done
  [ "${#moments[@]}" = 5 ] || fail "a step line is missing: $(cat "$work/measure.txt")"
  lengths=($(echo "${moments[@]}" | awk '{ for (i = 1; i < NF; ++i) print $(i + 1) - $i }'))
  echo "a whole run: backup from ${moments[0]}s, format ${moments[1]}s, FreeDOS ${moments[2]}s," \
    "restore ${moments[3]}s, done ${moments[4]}s"
}

# sweep NAME COUNT [EDGES]: COUNT kills, each judged as the header says, in
# a subshell of its own: a kill that fails is named and the sweep goes on.
# With EDGES the first kill of each step lands at its first instant, when
# the step has just been put on record (the backup's record is being
# written then); the others at seeded uniform moments.
# tally.txt gets a line per kill: its step and what fsck.fat found.
failed=()
sweep() {
  local name=$1 count=$2 edges=${3:-} i
  mapfile -t moments < <(python3 - "$seed-$name" "$count" "$edges" "${lengths[@]}" <<'EOF'
import random, sys
rng = random.Random(sys.argv[1])
count, edges, lengths = int(sys.argv[2]), sys.argv[3], [float(n) for n in sys.argv[4:]]
for i in range(count):
    edge = edges and i < len(lengths)
    print(f"{0 if edge else rng.random() * lengths[i % len(lengths)]:.4f}")
EOF
)
  local anchor
  for ((i = 0; i < count; i++)); do
    anchor=${anchors[i % ${#anchors[@]}]}
    what="$name kill $((i + 1))/$count, ${moments[i]}s after '$anchor'"
    # Started apart, not tested with ||, so that set -e holds inside.
    (judge_kill "$what" "$anchor" "${moments[i]}") &
    wait $! || failed+=("$what")
  done
}

judge_kill() {
  local what=$1 anchor=$2 delay=$3 status step findings record folder="" recorded=none found=clean
  # What an earlier kill that failed left does not count against this one.
  rm -rf "$backups" "$records"
  reset_stick
  status=$(python3 "$src/tests/scripts/killed_run.py" "$work/killed.txt" "$anchor" "$delay" "${run[@]}")
  if [ "$status" = -9 ]; then
    step=$(step_of "$work/killed.txt")
  elif [ "$status" = 0 ]; then
    step=ended
  else
    fail "$what: the run failed before the kill ($status): $(cat "$work/killed.txt")"
  fi
  what+=" ($step)"

  # The stick as the kill left it.
  if [ "$step" = start ] || [ "$step" = backup ]; then
    cmp -s "$device" original.img || fail "$what: the stick changed while it was being backed up"
  fi
  findings=$(fsck_findings "$device")
  if [ -n "$findings" ]; then
    [ "$step" = format ] ||
      fail "$what: fsck.fat finds more than lost clusters: $findings$(printf '\n')$(cat "$work/fsck.txt")"
    found=mid-format
    what+=" (fsck.fat mid-format: $(head -1 <<<"$findings"))"
  elif grep -q '^Reclaimed' "$work/fsck.txt"; then
    found=lost-clusters
  fi

  echo "$step $found" >>"$work/tally.txt"

  # The record left, and how far it says the run got.
  record=$(find "$records" -name '*.run' 2>/dev/null)
  [ "$(grep -c . <<<"$record")" -le 1 ] || fail "$what: more than one record: $record"
  if [ -n "$record" ]; then
    recorded=$(sed -n 's/^step=//p' "$record")
    folder=$(sed -n 's/^folder=//p' "$record")
  fi
  [[ " ${record_steps[$step]} " == *" $recorded "* ]] ||
    fail "$what: the record says '$recorded' after a kill in the step '$step'"

  # One plain run afterwards.
  status=0
  "${run[@]}" </dev/null 2>"$work/next.txt" || status=$?
  [ "$status" = 0 ] && [ "$(tail -n 1 "$work/next.txt")" = "corvantix: Format Successful!" ] ||
    fail "$what: the next run ended with $status: $(cat "$work/next.txt")"
  if [ "$recorded" = none ] || [ "$recorded" = backup ]; then
    ! grep -q '^corvantix: Finishing the run' "$work/next.txt" ||
      fail "$what: a run that had not changed the stick was finished: $(cat "$work/next.txt")"
    grep -qx 'creating backup\.\.\.' "$work/next.txt" ||
      fail "$what: the next run made no backup: $(cat "$work/next.txt")"
  else
    grep -q '^corvantix: Finishing the run on ' "$work/next.txt" ||
      fail "$what: the cut-off run was not finished: $(cat "$work/next.txt")"
    ! grep -qx 'creating backup\.\.\.' "$work/next.txt" ||
      fail "$what: the half-made stick was backed up: $(cat "$work/next.txt")"
    if [ "$recorded" != restored ]; then
      grep -qF "Your files are in '$folder'" "$work/next.txt" ||
        fail "$what: the next run does not name the backup folder '$folder': $(cat "$work/next.txt")"
    fi
  fi

  check_user_files "$what" "$device"
  check_clean_stick "$what: after the next run" "$device"
  [ -z "$(find "$backups" -mindepth 1 2>/dev/null)" ] ||
    fail "$what: left in $backups: $(find "$backups" -mindepth 1 | head)"
  [ -z "$(find "$records" -name '*.run' 2>/dev/null)" ] ||
    fail "$what: a record is left: $(find "$records" -name '*.run')"
  local other
  other=$(find "$records" -mindepth 1 2>/dev/null | sed "s|$records/||" | tr '\n' ' ')
  [ -z "$other" ] || echo "NOTE: $what: the state folder still holds $other"
  echo "$what: passed"
}

# --- Image file ----------------------------------------------------------
use_stick "$work/stick.img" "$work/stick.img"
measure
sweep image "$kills" edges
total=$kills

# Kills in a row within the first milliseconds of the backup, where the
# backup folder is made and the record written, the stick not reset in
# between: it stays as it was; then one plain run, which drops every record
# with its backup folder and starts anew, leaving nothing behind.
burst() {
  local delay status
  rm -rf "$backups" "$records"
  reset_stick
  for delay in 0 0.0005 0.001 0.0015 0.002 0.003 0.004 0.006 0.008 0.012; do
    status=$(python3 "$src/tests/scripts/killed_run.py" "$work/killed.txt" "creating backup..." \
      "$delay" "${run[@]}")
    [ "$status" = -9 ] || fail "burst: a kill ${delay}s into the backup did not land: $(cat "$work/killed.txt")"
    [ "$(step_of "$work/killed.txt")" = backup ] || fail "burst: the kill ${delay}s into the backup came late"
    cmp -s "$device" original.img || fail "burst: the stick changed during the backup"
  done
  echo "burst: left by 10 kills: $(find "$backups" -mindepth 1 -maxdepth 1 | wc -l) backup folders," \
    "$(find "$records" -name '*.run' | wc -l) records, $(find "$records" -mindepth 1 | wc -l) files in the state folder"
  status=0
  "${run[@]}" </dev/null 2>"$work/next.txt" || status=$?
  [ "$status" = 0 ] && [ "$(tail -n 1 "$work/next.txt")" = "corvantix: Format Successful!" ] ||
    fail "burst: the next run ended with $status: $(cat "$work/next.txt")"
  ! grep -q '^corvantix: Finishing the run' "$work/next.txt" || fail "burst: a run cut off in its backup was finished"
  check_user_files burst "$device"
  [ -z "$(find "$backups" -mindepth 1 2>/dev/null)" ] ||
    fail "burst: left in $backups after the next run: $(find "$backups" -mindepth 1 -maxdepth 1 | tr '\n' ' ')" \
      "with the state folder holding $(find "$records" -mindepth 1 -printf '%f ')"
  [ -z "$(find "$records" -name '*.run')" ] || fail "burst: a record is left: $(find "$records" -name '*.run')"
  echo "burst: 10 kills in the first 12 ms of the backup: passed"
}
burst_result=passed
(burst) &
wait $! || burst_result=FAILED

# --- Loop device ---------------------------------------------------------
loop_reason=""
if [ "$(id -u)" != 0 ]; then
  loop_reason="loop devices need root"
elif ! command -v losetup >/dev/null; then
  loop_reason="losetup is not installed"
else
  cp --sparse=always original.img loop.img
  if loop=$(losetup -f --show loop.img 2>/dev/null); then
    loops+=("$loop")
    partx -d "$loop" 2>/dev/null || true
  else
    loop_reason="no loop device can be had here"
  fi
fi
if [ -z "$loop_reason" ]; then
  # A loop device is no USB stick: given itself, it is refused untouched.
  use_stick "$loop" E "$work/machine.txt"
  reset_stick
  status=0
  "$program" --yes "$loop" </dev/null 2>"$work/err.txt" || status=$?
  [ "$status" = 1 ] || fail "$loop given as the target ended with $status: $(cat "$work/err.txt")"
  cmp -s "$loop" original.img || fail "$loop given as the target changed"
  # Through a machine description it stands for a USB stick.
  echo "disk $loop interface=USB letter=E model=\"Loop Stick\"" >"$work/machine.txt"
  # The steps take about as long as on the image: the lengths measured
  # there place these kills too.
  sweep loop "$loop_kills"
  total=$((total + loop_kills))
else
  echo "SKIPPED kill sweep on a loop device: $loop_reason"
fi

summary=$(awk '{ steps[$1]++; found[$2]++ } END {
  printf "kills per step:"
  n = split("start backup format freedos restore done ended", order)
  for (i = 1; i <= n; ++i) printf " %s %d%s", order[i], steps[order[i]], i < n ? "," : ";"
  printf " fsck.fat after the kill: %d with lost clusters, %d mid-format", found["lost-clusters"], found["mid-format"]
}' "$work/tally.txt" 2>/dev/null)
echo "kill sweep: $((total - ${#failed[@]})) of $total kills passed; $summary;" \
  "burst of kills at the start of the backup: $burst_result"
[ "$burst_result" = passed ] || failed+=("the burst of kills at the start of the backup")
if [ "${#failed[@]}" -gt 0 ]; then
  printf 'FAILED: %s\n' "${failed[@]}" >&2
  exit 1
fi
