#!/usr/bin/env bash
# qemu_boot.sh - boot a Corvantix disk image in QEMU and check that FreeDOS
# reaches its shell.
#
# Usage:
#   qemu_boot.sh <image> [--no-extensions] [--timeout SEC]
#   qemu_boot.sh --suite [WORKDIR]
#   FAULT=SECTOR:once|always qemu_boot.sh <image> ...   (read error injected
#   by QEMU's blkdebug on the first / every read of that 512-byte sector)
#
# Single boot: <image> is started with qemu-system-i386 (SeaBIOS) as the first
# IDE disk, without display or network, with -no-reboot and -snapshot (the
# image is never written). COM1 goes to a log file. The image's AUTOEXEC.BAT
# must send "CORVANTIX-BOOT-OK" to COM1 (make_test_image.sh writes such a
# file). The log is polled; as soon as the marker shows up QEMU is stopped
# and the script exits 0.
# SeaBIOS is also told to copy its screen output to COM1 (fw_cfg
# etc/sercon-port), so the boot code's own error texts reach the log too:
# when one of them appears the script stops at once and exits 1 naming it.
# Exit 2 on timeout (default 60 s), 1 if QEMU ends without the marker,
# 64 on bad usage. The last lines of the log are shown on failure.
#
# --no-extensions: checks the CHS path of the master boot code. QEMU's BIOS
#   always offers the INT 13h extensions and they cannot be switched off, so
#   the test uses a test-only build of disk/boot/mbr.asm (-DTEST_NO_EXT) in
#   which the AH=41h check counts as failed. Bytes 0..439 of a sparse copy of
#   the image are replaced by that build (partition table untouched) and the
#   copy is booted. The MBR then loads the partition's first sector from the
#   entry's start CHS bytes, which the formatter writes for the partition's
#   first sector under 255 heads x 63 sectors (00 21 00 for LBA 32).
#
# --suite: builds images with make_test_image.sh in WORKDIR (default: a
#   temporary folder) and runs every boot case with its expected result:
#     boot-64M, boot-1G      images from make_test_image.sh boot
#     chs-start63, chs-start32  CHS path boots start-63 and start-32 images
#     chs-wrong              start-32 image whose CHS bytes say LBA 63 stops
#                            with "partition signature != 55AA" (LBA 63 is empty)
#     no-boot-flag           -> "no active partition found"
#     vbr-name               boot sector's file name changed -> "No QERNEL  SYS"
#     vbr-signature          boot sector's 55 AA cleared
#                            -> "partition signature != 55AA"
#     retry-mbr, retry-vbr   one failing read of the boot record (MBR) or
#                            of the FAT (boot sector) is retried: boots
#     error-mbr, error-vbr   the same reads always fail -> "read error while
#                            reading drive" / "No KERNEL  SYS"
#     big-kernel             a 134 KiB stand-in kernel with a fragmented
#                            cluster chain, found in the third cluster of a
#                            fragmented root directory, arrives intact
#                            (see big_kernel / big_kernel_image)
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
boot="$here/../../disk/boot"
MARKER=CORVANTIX-BOOT-OK
FAIL_MARKER=CORVANTIX-BOOT-FAIL
QEMU=${QEMU:-qemu-system-i386}
NASM=${NASM:-nasm}

usage() { sed -n '5,9p' "$0" | sed 's/^# *//' >&2; exit 64; }

# boot_image IMAGE NO_EXT TIMEOUT -> exit status as described above
boot_image() {
    local img=$1 no_ext=$2 limit=$3 tmp disk log pid status=2 t0 err ms
    tmp=$(mktemp -d) || return 1
    disk=$img log=$tmp/serial.log
    if [[ $no_ext == 1 ]]; then
        { "$NASM" -f bin -DTEST_NO_EXT -o "$tmp/mbr.bin" "$boot/mbr.asm" &&
          cp --sparse=always "$img" "$tmp/disk.img" &&
          dd if="$tmp/mbr.bin" of="$tmp/disk.img" bs=440 count=1 conv=notrunc status=none
        } || { rm -rf "$tmp"; return 1; }
        disk=$tmp/disk.img
    fi
    printf '\xf8\x03' > "$tmp/sercon"           # COM1 at 3F8h, 16-bit LE
    if [[ -n ${FAULT:-} ]]; then                # SECTOR:once|always read error
        printf '[inject-error]\nevent = "read_aio"\nerrno = "5"\nsector = "%s"\nonce = "%s"\n' \
            "${FAULT%:*}" "$([[ ${FAULT#*:} == once ]] && echo on || echo off)" > "$tmp/fault"
        disk=blkdebug:$tmp/fault:$disk
    fi
    : > "$log"
    t0=$(date +%s%N)
    timeout "$((limit + 5))" "$QEMU" -m 32 -display none -nic none -no-reboot \
        -snapshot -drive "file=$disk,format=raw,if=ide" \
        -serial "file:$log" -fw_cfg "name=etc/sercon-port,file=$tmp/sercon" \
        2> "$tmp/qemu.err" &
    pid=$!
    while :; do
        if grep -aqF "$MARKER" "$log"; then status=0; break; fi
        if grep -aqF "$FAIL_MARKER" "$log"; then
            echo "boot stopped with: $FAIL_MARKER" >&2; status=1; break
        fi
        # Error texts of the MBR, and of the boot sector ("No " + file name,
        # printed right after "Loading FreeDOS ").
        err=$(grep -aoE "no active partition found|read error while reading drive|partition signature != 55AA|Loading FreeDOS No .{11}" "$log" | head -1)
        err=${err#Loading FreeDOS }
        if [[ -n $err ]]; then
            echo "boot stopped with: ${err%$'\r'}" >&2; status=1; break
        fi
        if ! kill -0 "$pid" 2>/dev/null; then
            echo "QEMU ended without the marker" >&2; cat "$tmp/qemu.err" >&2; status=1; break
        fi
        if (( $(date +%s%N) - t0 >= limit * 1000000000 )); then
            echo "timeout: no $MARKER on COM1 within $limit s" >&2; status=2; break
        fi
        sleep 0.2
    done
    kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
    ms=$(( ($(date +%s%N) - t0) / 1000000 ))
    printf 'boot of %s%s: %s after %d.%02d s\n' "$img" "$([[ $no_ext == 1 ]] && echo ' (CHS path)')" \
        "$([[ $status == 0 ]] && echo OK || echo FAILED)" $((ms / 1000)) $((ms % 1000 / 10))
    if [[ $status != 0 ]]; then
        echo "--- last COM1 output ---" >&2
        sed -E 's/\x1b(\[[0-9;?]*[A-Za-z]|c)//g' "$log" | tr -d '\000' | tr '\r' '\n' | grep -av '^\s*$' | tail -8 >&2
    fi
    rm -rf "$tmp"
    return "$status"
}

# expect WANT NAME IMAGE [NO_EXT] [TEXT]: WANT is ok or fail; for fail, TEXT
# must be the error the boot stopped with.
failures=0
expect() {
    local want=$1 name=$2 img=$3 no_ext=${4:-0} text=${5:-} out rc
    out=$(boot_image "$img" "$no_ext" 60 2>&1); rc=$?
    echo "$out" | grep -a '^boot of' | sed "s|^|[$name] |"
    if [[ $want == ok && $rc == 0 ]] ||
       [[ $want == fail && $rc == 1 && $out == *"boot stopped with: $text"* ]]; then
        echo "[$name] PASS"
    else
        echo "[$name] FAIL (wanted $want${text:+ \"$text\"}, exit $rc)"; echo "$out"
        failures=$((failures + 1))
    fi
}

poke() { printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }

# big_kernel DIR: DIR/kernel.bin, a 134 KiB stand-in for KERNEL.SYS. Its
# code checks BL = DL = 80h and that every dword after its first 256 bytes
# holds its own file offset (so a lost, repeated or misplaced sector, also
# past the 64 KiB mark, is seen), then writes the marker or FAIL_MARKER to COM1.
big_kernel() {
    local size=137216
    cat > "$1/kernel.asm" <<ASM
        bits 16
        cpu 386
        org 0
        cmp     bl, 0x80
        jne     bad
        cmp     dl, bl
        jne     bad
        mov     bx, 0x60 + 16
        mov     edi, 256
        mov     bp, ($size - 256) / 16
para:   mov     ds, bx
        xor     si, si
        mov     cx, 4
check:  lodsd
        cmp     eax, edi
        jne     bad
        add     edi, 4
        loop    check
        inc     bx
        dec     bp
        jnz     para
        mov     si, good
        jmp     short say
bad:    mov     si, fail
say:    push    cs
        pop     ds
        mov     dx, 0x3f8
next:   lodsb
        out     dx, al
        test    al, al
        jnz     next
stop:   hlt
        jmp     short stop
good:   db      "$MARKER", 13, 10, 0
fail:   db      "$FAIL_MARKER", 13, 10, 0
        times   256 - (\$ - \$\$) db 0
ASM
    "$NASM" -f bin -o "$1/kernel.bin" "$1/kernel.asm" &&
        python3 -c 'import struct,sys; open(sys.argv[1],"ab").write(b"".join(struct.pack("<I",o) for o in range(256,int(sys.argv[2]),4)))' \
            "$1/kernel.bin" "$size"
}

# big_kernel_image SRC DST KERNEL: copy of image SRC whose KERNEL.SYS is
# replaced by KERNEL, with 60 more files in the root so that the root spans
# several clusters, is not contiguous and has the kernel's entry in a later
# cluster; every other late file is deleted and the FSInfo free hint cleared
# before the kernel goes in, so its cluster chain is fragmented. Then the
# reserved top four bits of every used FAT entry are set.
big_kernel_image() {
    local m="$2@@16384" i
    cp --sparse=always "$1" "$2" && export MTOOLS_SKIP_CHECK=1 &&
        mdel -i "$m" ::KERNEL.SYS && echo x > "$2.txt" || return 1
    for i in $(seq 10 69); do mcopy -i "$m" "$2.txt" "::F$i.TXT" || return 1; done
    for i in $(seq 41 2 69); do mdel -i "$m" "::F$i.TXT" || return 1; done
    poke "$2" $((33 * 512 + 492)) '\xff\xff\xff\xff'
    mcopy -i "$m" "$3" ::KERNEL.SYS || return 1
    # The top four bits of a FAT32 entry are not part of it: set them all.
    python3 - "$2" <<'PY'
import struct, sys
with open(sys.argv[1], "r+b") as f:
    f.seek(32 * 512); b = f.read(512)
    rsvd, nfats, size = struct.unpack_from("<H", b, 14)[0], b[16], struct.unpack_from("<I", b, 36)[0]
    for n in range(nfats):
        f.seek((32 + rsvd + n * size) * 512); fat = bytearray(f.read(size * 512))
        for at in range(8, len(fat), 4):
            if struct.unpack_from("<I", fat, at)[0]:
                fat[at + 3] |= 0xF0
        f.seek((32 + rsvd + n * size) * 512); f.write(fat)
PY
}

run_suite() {
    local work=${1:-} own=0 mk="$here/make_test_image.sh"
    if [[ -z $work ]]; then work=$(mktemp -d); own=1; fi
    mkdir -p "$work"
    "$mk" "$work/b64.img" 64M >/dev/null || return 1
    "$mk" "$work/b1g.img" 1G >/dev/null || return 1
    "$mk" "$work/chs63.img" 64M --start 63 >/dev/null || return 1
    expect ok   boot-64M        "$work/b64.img"
    expect ok   boot-1G         "$work/b1g.img"
    expect ok   chs-start63     "$work/chs63.img" 1
    expect ok   chs-start32     "$work/b64.img" 1

    cp --sparse=always "$work/b64.img" "$work/bad.img"
    poke "$work/bad.img" 447 '\x01\x01\x00'
    expect fail chs-wrong       "$work/bad.img" 1 "partition signature != 55AA"

    cp --sparse=always "$work/b64.img" "$work/bad.img"
    poke "$work/bad.img" 446 '\x00'
    expect fail no-boot-flag    "$work/bad.img" 0 "no active partition found"

    # Read errors (QEMU blkdebug): sector 32 is the boot record, 64 the
    # first FAT sector (partition at 32, 32 reserved sectors).
    FAULT=32:once   expect ok   retry-mbr  "$work/b64.img"
    FAULT=32:always expect fail error-mbr  "$work/b64.img" 0 "read error while reading drive"
    FAULT=64:once   expect ok   retry-vbr  "$work/b64.img"
    FAULT=64:always expect fail error-vbr  "$work/b64.img" 0 "No KERNEL  SYS"

    cp --sparse=always "$work/b64.img" "$work/bad.img"
    poke "$work/bad.img" $((32 * 512 + 497)) 'Q'
    expect fail vbr-name        "$work/bad.img" 0 "No QERNEL  SYS"

    cp --sparse=always "$work/b64.img" "$work/bad.img"
    poke "$work/bad.img" $((32 * 512 + 510)) '\x00'
    expect fail vbr-signature   "$work/bad.img" 0 "partition signature != 55AA"

    if big_kernel "$work" && big_kernel_image "$work/b64.img" "$work/big.img" "$work/kernel.bin"; then
        expect ok big-kernel    "$work/big.img"
    else
        echo "[big-kernel] FAIL (could not build the image)"; failures=$((failures + 1))
    fi

    (( own )) && rm -rf "$work"
    echo "suite: $failures failure(s)"
    [[ $failures == 0 ]]
}

[[ $# -ge 1 ]] || usage
if [[ $1 == --suite ]]; then
    run_suite "${2:-}"; exit
fi
img=$1; shift
no_ext=0 limit=60
while [[ $# -gt 0 ]]; do
    case $1 in
        --no-extensions) no_ext=1; shift ;;
        --timeout) limit=${2:?}; shift 2 ;;
        *) usage ;;
    esac
done
[[ -r $img ]] || { echo "no such image: $img" >&2; exit 64; }
boot_image "$img" "$no_ext" "$limit"
