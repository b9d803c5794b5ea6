#!/usr/bin/env bash
# The host program on a terminal, without a display, as a person or a script
# starts it:
#  - --help prints the usage with every option, --version the project's
#    version, on standard output, exit code 0;
#  - --yes --size makes a new blank image and prepares it (KERNEL.SYS on its
#    partition at LBA 32, drive.txt with E, "Format Successful!" on standard
#    error, exit code 0); a second run keeps the user's files on it;
#  - a failed run ends with 1 and its message on standard error;
#  - without --yes and without a terminal nothing is done;
#  - an image the user may not write is refused with a message saying it
#    needs administrator rights (run as another user when this is root);
#  - as root: a loop device, no USB disk, is refused untouched.
#   unattended.test.sh <corvantix> <source dir> <build dir>
set -euo pipefail
program=$(realpath "$1") src=$(realpath "$2")
source "$src/tests/scripts/loop_devices.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/unattended.XXXXXX")
loops=()
cleanup() {
  for loop in "${loops[@]}"; do detach "$loop"; done
  rm -rf "$work"
}
trap cleanup EXIT
unset DISPLAY WAYLAND_DISPLAY CORVANTIX_MACHINE
export LANG=C.UTF-8 LC_ALL= LC_MESSAGES= ASAN_OPTIONS=detect_leaks=0
export MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 TMPDIR=$work/tmp
mkdir -p "$TMPDIR"
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
# expect_status CODE COMMAND...: runs COMMAND (stdin from /dev/null, stderr
# to $work/err.txt) and checks its exit code.
expect_status() {
  local want=$1 status=0
  shift
  "$@" </dev/null 2>"$work/err.txt" >"$work/out.txt" || status=$?
  [ "$status" = "$want" ] ||
    fail "$* ended with $status, not $want: $(cat "$work/err.txt")"
}
last_error() { tail -n 1 "$work/err.txt"; }

# Help and version.
expect_status 0 "$program" --help
grep -q '^Usage: corvantix' out.txt || fail "--help printed no usage: $(cat out.txt)"
for form in -h --help --version -v -f --force --nobackup --no-backup -k --keep \
            -b --backup --noformat --no-format --nofdos --no-fdos --no-free-dos \
            --nofreedos --notxt --no-txt --nodrivetxt --no-drive-txt -l --lang \
            --language -t --text --string -c --copy -d --dir --directory -1 \
            --single -s -y --yes --size; do
  grep -q -e " $form[, ]" out.txt || fail "--help does not list $form"
done
[ ! -s err.txt ] || fail "--help wrote to standard error: $(cat err.txt)"
version=$(sed -n 's/^project(Corvantix VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
expect_status 0 "$program" --version
[ "$(cat out.txt)" = "Corvantix $version" ] || fail "--version printed '$(cat out.txt)'"

# A new image, then a second run that keeps the user's files.
expect_status 0 "$program" --yes --size 64M new.img
[ "$(last_error)" = "Format Successful!" ] || fail "new image: $(cat err.txt)"
[ "$(cat drive.txt)" = E ] || fail "drive.txt holds '$(cat drive.txt)'"
[ "$(stat -c %s new.img)" = $((64 << 20)) ] || fail "the new image is not 64 MiB"
! grep -q 'creating backup' err.txt || fail "a new image was backed up"
if command -v mdir >/dev/null; then
  mdir -i new.img@@16384 ::/KERNEL.SYS >/dev/null || fail "no KERNEL.SYS on the new image"
  printf 'my notes\r\n' >notes.txt
  mcopy -i new.img@@16384 notes.txt ::/NOTES.TXT
  rm drive.txt
  expect_status 0 "$program" -y new.img
  grep -q 'restoring backup' err.txt || fail "no backup: $(cat err.txt)"
  [ "$(mtype -i new.img@@16384 ::/NOTES.TXT)" = "$(cat notes.txt)" ] ||
    fail "the user's file was not kept"
  [ "$(cat drive.txt)" = E ] || fail "no drive.txt after the second run"
else
  echo "mtools are not installed: the image's files are not looked at"
fi

# A failed run.
rm -f drive.txt
expect_status 1 "$program" --yes --nobackup -c "$work/missing" new.img
[ "$(last_error)" = "Could not copy the files from '$work/missing' to the device." ] ||
  fail "failure message: $(cat err.txt)"
[ ! -e drive.txt ] || fail "a failed run wrote drive.txt"
expect_status 1 "$program" --yes missing.img
grep -q 'missing.img does not exist' err.txt || fail "missing image: $(cat err.txt)"

# Without --yes and without a terminal to ask on.
before=$(sha256sum new.img)
expect_status 1 "$program" new.img
grep -q 'no terminal to ask on' err.txt || fail "not refused: $(cat err.txt)"
sha256sum -c --quiet <<<"$before" || fail "the image changed without --yes"

# An image the user may not write.
cp --sparse=always new.img locked.img
chmod 444 locked.img
before=$(sha256sum locked.img)
as_user=()
if [ "$(id -u)" = 0 ]; then
  if command -v setpriv >/dev/null; then
    # nobody reaches the program, the image and a temporary folder.
    install -m 755 "$program" "$work/corvantix"
    chmod 755 "$work"
    mkdir -m 777 "$work/nobody"
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups env TMPDIR="$work/nobody")
    program_for_user=$work/corvantix
  fi
else
  program_for_user=$program
fi
if [ -n "${program_for_user:-}" ]; then
  expect_status 1 "${as_user[@]}" "$program_for_user" --yes locked.img
  want="Writing to locked.img needs administrator rights. Start Corvantix with them: sudo corvantix --yes locked.img, or through the menu entry \"Corvantix\"."
  [ "$(cat err.txt)" = "$want" ] || fail "rights message: $(cat err.txt)"
  sha256sum -c --quiet <<<"$before" || fail "the locked image changed"
else
  echo "setpriv is missing: the rights message is not looked at"
fi

# A loop device is no USB disk.
if [ "$(id -u)" = 0 ] && loop=$(losetup -f --show new.img 2>/dev/null); then
  loops+=("$loop")
  before=$(sha256sum new.img)
  rm -f drive.txt
  expect_status 1 "$program" --yes --nobackup "$loop"
  [ "$(cat err.txt)" = "$loop is not a USB disk, and only USB disks are prepared. Nothing was changed on it." ] ||
    fail "loop device: $(cat err.txt)"
  sha256sum -c --quiet <<<"$before" || fail "the loop device's image changed"
  [ ! -e drive.txt ] || fail "a refused device left drive.txt"
else
  echo "SKIPPED loop device: needs root and a free loop device"
fi
echo "unattended runs: all checks passed"
