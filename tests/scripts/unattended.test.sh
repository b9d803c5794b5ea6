#!/usr/bin/env bash
# The host program on a terminal, without a display, as a person or a script
# starts it:
#  - --help prints the usage with every option, --version the project's
#    version, on standard output, exit code 0;
#  - --yes --size makes a new blank image and prepares it (KERNEL.SYS on its
#    partition at LBA 32, "corvantix: Format Successful!" on standard error,
#    exit code 0), and writes no drive.txt, since an image has no letter;
#  - an argument error is the program's message and a pointer to --help;
#  - an image the user may not write is refused with a message saying it
#    needs administrator rights (run as another user when this is root).
# The other unattended cases run in-process in the host suite.
#   unattended.test.sh <corvantix> <source dir> <build dir>
set -euo pipefail
program=$(realpath "$1") src=$(realpath "$2")

work=$(mktemp -d "${TMPDIR:-/tmp}/unattended.XXXXXX")
trap 'rm -rf "$work"' EXIT
source "$src/tests/scripts/demo_run.sh"
demo_run_in "$work"

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
  grep -qE -e " $form([, ]|$)" out.txt || fail "--help does not list $form"
done
[ ! -s err.txt ] || fail "--help wrote to standard error: $(cat err.txt)"
version=$(sed -n 's/^project(Corvantix VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
expect_status 0 "$program" --version
[ "$(cat out.txt)" = "Corvantix $version" ] || fail "--version printed '$(cat out.txt)'"

# A new image.
expect_status 0 "$program" --yes --size 64M new.img
[ "$(last_error)" = "corvantix: Format Successful!" ] || fail "new image: $(cat err.txt)"
[ ! -e drive.txt ] || fail "drive.txt was written for an image: '$(cat drive.txt)'"
[ "$(stat -c %s new.img)" = $((64 << 20)) ] || fail "the new image is not 64 MiB"
! grep -q 'creating backup' err.txt || fail "a new image was backed up"
if command -v mdir >/dev/null; then
  mdir -i new.img@@16384 ::/KERNEL.SYS >/dev/null || fail "no KERNEL.SYS on the new image"
else
  echo "mtools are not installed: the image's files are not looked at"
fi

# An argument error.
expect_status 1 "$program" --bogus
[ "$(cat err.txt)" = "corvantix: Invalid argument '--bogus'!
Try 'corvantix --help'." ] || fail "argument error: $(cat err.txt)"

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
  want="corvantix: Writing to locked.img needs administrator rights. Start Corvantix with them: sudo corvantix --yes locked.img, or through the menu entry \"Corvantix\"."
  [ "$(cat err.txt)" = "$want" ] || fail "rights message: $(cat err.txt)"
  sha256sum -c --quiet <<<"$before" || fail "the locked image changed"
else
  echo "setpriv is missing: the rights message is not looked at"
fi

echo "unattended runs: all checks passed"
