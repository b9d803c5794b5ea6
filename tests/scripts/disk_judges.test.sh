#!/usr/bin/env bash
# What the formatter writes, judged by tools that are not ours: fsck.fat
# must find each partition clean, mtools must list an empty root and take a
# file and give it back. Images of several sizes, filled with junk first
# where they are small enough to be real files, sparse where they are big;
# a disk too small for FAT32 must be refused with nothing written.
#
# Arguments: <corvantix binary> <source dir> <build dir>
set -uo pipefail

build=$3
format=$build/tests/corvantix_format_image
work=$(mktemp -d "${TMPDIR:-/tmp}/disk-judges.XXXXXX")
trap 'rm -rf "$work"' EXIT
export MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 PATH=$PATH:/usr/sbin:/sbin
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# le32 IMAGE OFFSET: the 32-bit little-endian value at OFFSET.
le32() { od -An -t u4 -j "$2" -N 4 "$1" | tr -d ' '; }

# judge IMAGE SIZE: the formatted image passes every outside check.
judge() {
    local img=$1 size=$2 part=$work/partition.img out
    local mt="$img@@16384"

    # fsck.fat takes no offset: check a sparse copy without the first 32
    # sectors. An unknown free-cluster count (0xFFFFFFFF in FSInfo) is legal
    # and only reported; anything else is an error.
    cp --sparse=always "$img" "$part" && fallocate -c -o 0 -l 16384 "$part" ||
        { fail "$size: cannot cut out the partition"; return; }
    out=$(fsck.fat -n "$part" 2>&1)
    local status=$?
    rm -f "$part"
    local rest
    rest=$(grep -v -e '^fsck.fat ' -e '^Free cluster summary uninitialized' \
                   -e "^$part: 0 files, 1/[0-9]* clusters\$" <<<"$out")
    [[ $status == 0 && -z $rest ]] || fail "$size: fsck.fat -n says: $out"

    out=$(mdir -a -i "$mt" ::/ 2>&1) || fail "$size: mdir failed: $out"
    grep -q '^No files' <<<"$out" || fail "$size: root not empty: $out"
    grep -q 'has no label' <<<"$out" || fail "$size: a volume label: $out"

    head -c 100000 /dev/urandom > "$work/in.bin"
    mcopy -i "$mt" "$work/in.bin" ::/DATA.BIN &&
        mcopy -i "$mt" ::/DATA.BIN "$work/out.bin" &&
        cmp -s "$work/in.bin" "$work/out.bin" ||
        fail "$size: mcopy round trip lost the file"
    rm -f "$work/in.bin" "$work/out.bin"
}

# run SIZE real|sparse: formats an image of SIZE bytes and judges it.
run() {
    local size=$1 kind=$2 img=$work/disk.img
    rm -f "$img"
    if [[ $kind == real ]]; then
        # Junk everywhere: what the formatter leaves alone must not matter.
        tr '\000' '\345' < /dev/zero | head -c "$size" > "$img"
    else
        truncate -s "$size" "$img"
    fi
    local out
    out=$("$format" "$img") || { fail "$size: formatter: $out"; return; }
    echo "$size ($kind): $out, FATSz32 $(le32 "$img" $((16384 + 36)))"
    judge "$img" "$size"
    rm -f "$img"
}

run 34105856 real       # the smallest FAT32: exactly 65,525 clusters
run 268435456 real      # 256 MiB
run 537948160 sparse    # 1,050,648 volume sectors: one FAT entry short
run 4026531840 sparse
run 32000000000 sparse

# The off-by-one size gets 1,025 FAT sectors, so every cluster has an entry.
img=$work/disk.img
truncate -s 537948160 "$img" && "$format" "$img" >/dev/null
[[ $(le32 "$img" $((16384 + 36))) == 1025 ]] || fail "off-by-one size: FATSz32 not 1025"
rm -f "$img"

# Too small for FAT32: refused with ERROR_DISK_FULL, not a byte written.
truncate -s 33554432 "$img"
out=$("$format" "$img")
[[ $? == 1 && $out == "error 112" ]] || fail "33554432: not refused: $out"
cmp -s -n 33554432 "$img" /dev/zero || fail "33554432: the disk was written"
[[ $(du -k "$img" | cut -f1) == 0 ]] || fail "33554432: blocks allocated"

# Sectors of 4096 bytes: refused with ERROR_NOT_SUPPORTED.
out=$("$format" --sector-size 4096 "$img")
[[ $? == 1 && $out == "error 50" ]] || fail "4096-byte sectors: not refused: $out"
cmp -s -n 33554432 "$img" /dev/zero || fail "4096-byte sectors: the disk was written"

echo "$failures failure(s)"
[[ $failures == 0 ]]
