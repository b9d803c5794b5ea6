#!/usr/bin/env bash
# corvantix_fat_fuse, the FAT file system that the whole run under Wine
# sees as E:, used as Linux programs use a mount: a tree with long and
# Unicode names copied in, a file rewritten in the middle, truncated,
# renamed, replaced by a rename, made read-only and hidden, a folder
# removed. Then judged by tools that are not ours: fsck.fat finds the
# image clean and mtools reads back exactly the tree that should be there,
# with the attributes that were set. Skipped (77) without /dev/fuse.
#
# Arguments: <corvantix binary> <source dir> <build dir>
set -uo pipefail
build=$3
server=$build/tests/corvantix_fat_fuse
[ -c /dev/fuse ] || { echo "SKIP: no /dev/fuse here"; exit 77; }
command -v fusermount3 >/dev/null || { echo "SKIP: fusermount3 is not installed (package fuse3)"; exit 77; }
[ -x "$server" ] || { echo "FAIL: no $server"; exit 1; }
export MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 LANG=C.UTF-8 PATH=$PATH:/usr/sbin:/sbin
work=$(mktemp -d "${TMPDIR:-/tmp}/fat-fuse.XXXXXX")
pid=""
cleanup() {
  mountpoint -q "$work/mnt" && fusermount3 -u "$work/mnt"
  [ -n "$pid" ] && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

mount_image() {
  "$server" "$work/fat.img" "$work/mnt" 2>"$work/server.txt" &
  pid=$!
  for _ in $(seq 1 50); do
    mountpoint -q "$work/mnt" && return 0
    sleep 0.1
  done
  echo "FAIL: the image does not mount: $(cat "$work/server.txt")"
  exit 1
}
unmount_image() {
  fusermount3 -u "$work/mnt"
  wait "$pid" || fail "the server ended with $?: $(cat "$work/server.txt")"
  pid=""
}

truncate -s 48M "$work/fat.img"
mkfs.fat -F 32 -s 1 "$work/fat.img" >/dev/null
mkdir -p "$work/mnt" "$work/want/Docs/Überblick" "$work/want/Docs/a folder with a long name"
head -c 200000 /dev/urandom >"$work/want/Docs/Überblick/data.bin"
echo "short" >"$work/want/README.TXT"
printf 'x%.0s' $(seq 1 5000) >"$work/want/Docs/a folder with a long name/x's.txt"
mount_image
cp -r "$work/want/." "$work/mnt/" || fail "cp -r onto the mount failed"
# In the middle, past the end, shortened: the file as the kernel asks.
printf 'MIDDLE' | dd of="$work/mnt/Docs/Überblick/data.bin" bs=1 seek=1000 conv=notrunc status=none
printf 'MIDDLE' | dd of="$work/want/Docs/Überblick/data.bin" bs=1 seek=1000 conv=notrunc status=none
truncate -s 150000 "$work/mnt/Docs/Überblick/data.bin" "$work/want/Docs/Überblick/data.bin"
echo "old" >"$work/mnt/old name.txt"
mv "$work/mnt/old name.txt" "$work/mnt/New Name.txt" || fail "rename in a folder failed"
echo "old" >"$work/want/New Name.txt"
echo "replaced" >"$work/mnt/gone.txt"
echo "kept" >"$work/mnt/keeper.txt"
mv "$work/mnt/keeper.txt" "$work/mnt/gone.txt" || fail "rename over a file failed"
echo "kept" >"$work/want/gone.txt"
mkdir "$work/mnt/empty" && rmdir "$work/mnt/empty" || fail "a folder cannot be made and removed"
rm "$work/mnt/README.TXT" || fail "a file cannot be removed"
rm "$work/want/README.TXT"
echo "locked" >"$work/mnt/locked.txt" && chmod a-w "$work/mnt/locked.txt"
echo "locked" >"$work/want/locked.txt"
python3 -c 'import os, sys; os.setxattr(sys.argv[1], "user.DOSATTRIB", b"0x2")' \
  "$work/mnt/New Name.txt" || fail "the hidden bit cannot be set"
[ "$(python3 -c 'import os, sys; print(os.getxattr(sys.argv[1], "user.DOSATTRIB").decode())' \
      "$work/mnt/New Name.txt")" = 0x2 ] || fail "the hidden bit does not read back"
diff -r "$work/want" "$work/mnt" >"$work/diff.txt" || fail "the mount differs: $(cat "$work/diff.txt")"
unmount_image

out=$(fsck.fat -n "$work/fat.img" 2>&1) || fail "fsck.fat -n finds faults: $out"
! grep -v -e '^fsck.fat ' -e '^Free cluster summary' -e 'files, .* clusters$' <<<"$out" |
  grep -q . || fail "fsck.fat -n reports: $out"
mkdir "$work/back"
mcopy -s -n -i "$work/fat.img" '::/*' "$work/back/" 2>"$work/mcopy.txt" ||
  fail "mcopy cannot read the image: $(cat "$work/mcopy.txt")"
diff -r "$work/want" "$work/back" >"$work/diff.txt" || fail "mtools reads otherwise: $(cat "$work/diff.txt")"
attributes=$(mattrib -i "$work/fat.img" "::/locked.txt" "::/New Name.txt" 2>/dev/null)
grep -q '^ *A *R.*locked.txt' <<<"$attributes" || fail "locked.txt is not read-only: $attributes"
grep -q '^ *A *H.*New Name.txt' <<<"$attributes" || fail "New Name.txt is not hidden: $attributes"

# A new mount reads what the last one left.
mount_image
cmp -s "$work/want/Docs/Überblick/data.bin" "$work/mnt/Docs/Überblick/data.bin" ||
  fail "a second mount reads the file otherwise"
unmount_image

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
