#!/usr/bin/env bash
# Sticks made by the formatter boot FreeDOS in QEMU: each image is formatted
# by the formatter, gets KERNEL.SYS, COMMAND.COM, CONFIG.SYS and an
# AUTOEXEC.BAT that reports to COM1, and must reach the shell
# (tests/boot/qemu_boot.sh watches COM1, at most 60 s per boot).
# Sizes: 64 MiB, 1 GiB, 4,026,531,840 bytes and the size whose FAT the
# formatter raises by one sector. Also: the master boot code's CHS path boots
# a formatted stick through the entry's start bytes 00 21 00 (LBA 32) and
# stops when those bytes point elsewhere, and a damaged boot sector stops
# with its message.
#
# Arguments: <corvantix binary> <source dir> <build dir>
set -uo pipefail

source=$2 build=$3
format=$build/tests/corvantix_format_image
boot=$source/tests/boot/qemu_boot.sh
payload=$(sed -n 's/^CORVANTIX_PAYLOAD_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
work=$(mktemp -d "${TMPDIR:-/tmp}/disk-boot.XXXXXX")
trap 'rm -rf "$work"' EXIT
export MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# prepare IMAGE SIZE: a formatted stick with the FreeDOS files on it.
prepare() {
    truncate -s "$2" "$1" && "$format" "$1" >/dev/null || return 1
    # The marker is put together by the shell, so only a running shell
    # can send it. It goes out three times: the BIOS copies the screen to
    # COM1 as well, late, and that copy may land inside one of them.
    local line='echo CORVANTIX-%%CXM%%>COM1\r\n'
    printf "@echo off\r\nset CXM=BOOT-OK\r\n$line$line$line" > "$work/AUTOEXEC.BAT"
    mcopy -i "$1@@16384" "$payload/KERNEL.SYS" "$payload/COMMAND.COM" \
        "$source/resources/payload/CONFIG.SYS" "$work/AUTOEXEC.BAT" ::/
}

# expect_boot NAME SIZE
expect_boot() {
    local img=$work/$1.img
    prepare "$img" "$2" || { fail "$1: could not prepare the image"; return; }
    "$boot" "$img" --timeout 60 || fail "$1: FreeDOS did not reach the shell"
    rm -f "$img"
}

expect_boot 64MiB 67108864
expect_boot 1GiB 1073741824
expect_boot 4026531840 4026531840
expect_boot fat-one-more 537948160

# expect_stop NAME TEXT IMAGE [ARGS]: the boot stops with TEXT.
expect_stop() {
    local out
    out=$("$boot" "$3" --timeout 60 "${@:4}" 2>&1)
    [[ $? == 1 && $out == *"boot stopped with: $2"* ]] ||
        fail "$1: wanted \"$2\", got: $out"
}

img=$work/damaged.img
prepare "$img" 67108864 || fail "could not prepare the damaged image"
"$boot" "$img" --no-extensions --timeout 60 ||
    fail "chs path: a formatted stick did not boot through its CHS bytes"
# start CHS 01 01 00 names LBA 63, where there is no boot record
printf '\x01\x01\x00' | dd of="$img" bs=1 seek=447 conv=notrunc status=none
expect_stop chs-path-wrong-bytes "partition signature != 55AA" "$img" --no-extensions
printf 'Q' | dd of="$img" bs=1 seek=$((32 * 512 + 497)) conv=notrunc status=none
expect_stop boot-sector-name "No QERNEL  SYS" "$img"

echo "$failures failure(s)"
[[ $failures == 0 ]]
