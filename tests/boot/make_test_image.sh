#!/usr/bin/env bash
# make_test_image.sh - build a bootable FreeDOS FAT32 test image from this
# repository's boot code, for the boot tests (qemu_boot.sh) and for
# development until the formatter writes images itself.
#
# Usage: make_test_image.sh <image> <size> [--start LBA]
#   <size>       anything truncate(1) accepts: 64M, 1G, ... (at least 64M).
#   --start LBA  first sector of the partition (default 32, as the formatter
#                lays it out). The CHS-path test uses 63, see below.
#
# Environment: CORVANTIX_PAYLOAD  folder holding KERNEL.SYS and COMMAND.COM
#              (default ../shared/payload beside the checkout). NASM,
#              MKFS_FAT likewise.
#
# Steps:
#   1. assemble disk/boot/mbr.asm and disk/boot/fat32.asm and check every
#      fixed byte of both templates (a layout fault stops the build);
#   2. sparse image; MBR = template + "CXUB" at 440 + entry 1:
#        80 | start CHS | 0C | FF FF FF | start | sectors - start
#      The start CHS bytes address the start under 255 heads x 63 sectors,
#      as the formatter writes them (00 21 00 for LBA 32, 01 01 00 for 63),
#      so the CHS path of the MBR (qemu_boot.sh --no-extensions) boots both;
#   3. FAT32 with mkfs.fat inside the partition (1 sector per cluster up to
#      512 MiB, 8 above, so there are always >= 65525 clusters); then its
#      boot sector and backup copy get our jump, OEM name and bytes 90..511,
#      mkfs.fat's BPB stays, drive number forced to 80h;
#   4. KERNEL.SYS, COMMAND.COM, CONFIG.SYS and an AUTOEXEC.BAT that sends
#      the marker CORVANTIX-BOOT-OK to COM1 are copied in with mtools.
set -euo pipefail

die() { echo "make_test_image: $*" >&2; exit 1; }

[[ $# -ge 2 ]] || die "usage: $0 <image> <size> [--start LBA]"
img=$1 size=$2; shift 2
start=32
while [[ $# -gt 0 ]]; do
    case $1 in
        --start) start=${2:?--start needs a value}; shift 2 ;;
        *) die "unknown option $1" ;;
    esac
done

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
boot="$here/../../disk/boot"
payload=${CORVANTIX_PAYLOAD:-$here/../../../shared/payload}
NASM=${NASM:-nasm}
MKFS_FAT=${MKFS_FAT:-mkfs.fat}
for f in KERNEL.SYS COMMAND.COM; do
    [[ -r $payload/$f ]] || die "missing $payload/$f"
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$NASM" -f bin -o "$tmp/mbr.bin" "$boot/mbr.asm"
"$NASM" -f bin -o "$tmp/fat32.bin" "$boot/fat32.asm"

# Fixed bytes of both templates.
python3 - "$tmp/mbr.bin" "$tmp/fat32.bin" <<'PY' || die "boot template layout check failed"
import sys
mbr = open(sys.argv[1], "rb").read()
vbr = open(sys.argv[2], "rb").read()
bad = []
def want(name, cond):
    if not cond:
        bad.append(name)
want("mbr size 512", len(mbr) == 512)
want("mbr prologue", mbr[:11] == bytes.fromhex("FAFC31C08ED08ED8BD007C"))
for msg in (b"no active partition found", b"read error while reading drive",
            b"partition signature != 55AA"):
    at = mbr.find(msg + b"\0")
    want("mbr message %r inside 0..270" % msg, at >= 0 and at + len(msg) <= 270)
want("mbr zero 271..509", mbr[271:510] == bytes(239))
want("mbr 55AA", mbr[510:] == b"\x55\xaa")
want("vbr size 512", len(vbr) == 512)
want("vbr jump", vbr[:3] == b"\xeb\x58\x90")
want("vbr OEM", vbr[3:11] == b"FreeDOS ")
want("vbr BPB zero", vbr[11:90] == bytes(79))
want("vbr prologue", vbr[90:99] == bytes.fromhex("FCFA29C08ED8BD007C"))
want("vbr loading text", vbr[449:465] == b"Loading FreeDOS ")
want("vbr No", vbr[494:497] == b"No ")
want("vbr name", vbr[497:508] == b"KERNEL  SYS")
want("vbr NUL at 508", vbr[508] == 0)
want("vbr 55AA", vbr[510:] == b"\x55\xaa")
for b in bad:
    print("layout:", b, file=sys.stderr)
if not bad:
    used = lambda blob, lo, hi: max(i for i in range(lo, hi) if blob[i]) + 1 - lo
    print("boot templates: layout OK; MBR code+messages %d of 271 bytes, "
          "boot record code %d of 359 bytes" % (used(mbr, 0, 440) + 1, used(vbr, 90, 449)))
sys.exit(1 if bad else 0)
PY

rm -f "$img"
truncate -s "$size" "$img"
bytes=$(stat -c %s "$img")
sectors=$((bytes / 512))
(( bytes >= 64 * 1024 * 1024 )) || die "image must be at least 64 MiB for FAT32"
count=$((sectors - start))
spc=1; (( bytes > 512 * 1024 * 1024 )) && spc=8

"$MKFS_FAT" -F 32 -R 32 -S 512 -s "$spc" -h "$start" --offset "$start" \
    --mbr=n -n CORVANTIX -i 43585542 "$img" $((count / 2)) >/dev/null

python3 - "$img" "$tmp/mbr.bin" "$tmp/fat32.bin" "$start" "$count" <<'PY' || die "writing boot sectors failed"
import struct, sys
img, mbr, vbr = sys.argv[1], open(sys.argv[2], "rb").read(), open(sys.argv[3], "rb").read()
start, count = int(sys.argv[4]), int(sys.argv[5])
with open(img, "r+b") as f:
    f.seek(start * 512)
    made = f.read(512)
    bpb = bytearray(made[11:90])
    hidden, backup = struct.unpack_from("<I", made, 28)[0], struct.unpack_from("<H", made, 50)[0]
    if hidden != start or made[82:90] != b"FAT32   ":
        sys.exit("mkfs.fat produced hidden=%d type=%r" % (hidden, made[82:90]))
    bpb[64 - 11] = 0x80                               # drive number
    sector = vbr[:11] + bytes(bpb) + vbr[90:]
    for at in (0, backup):
        f.seek((start + at) * 512)
        f.write(sector)
    # start CHS under 255 heads x 63 sectors, as the formatter writes it
    cyl, rest = divmod(start, 255 * 63)
    head, sector = divmod(rest, 63)
    chs = bytes([head, ((cyl >> 2) & 0xC0) | (sector + 1), cyl & 0xFF])
    entry = bytes([0x80]) + chs + bytes([0x0C, 0xFF, 0xFF, 0xFF]) + struct.pack("<II", start, count)
    m = bytearray(mbr)
    m[440:446] = b"CXUB\0\0"
    m[446:462] = entry
    f.seek(0)
    f.write(m)
PY

mt="$img@@$((start * 512))"
printf 'shell=\\command.com /e:8192 /p\r\nswitches=/f\r\nfiles=30\r\nlastdrive=z\r\n' > "$tmp/CONFIG.SYS"
# The marker text is only put together when the shell runs the batch file.
# The marker goes out three times: the BIOS copies the screen to COM1 too,
# late, and that copy may land inside one of them.
line='echo CORVANTIX-%%CXM%%>COM1\r\n'
printf "@echo off\r\nset CXM=BOOT-OK\r\n$line$line$line" > "$tmp/AUTOEXEC.BAT"
export MTOOLS_SKIP_CHECK=1
mcopy -i "$mt" "$payload/KERNEL.SYS" "$payload/COMMAND.COM" "$tmp/CONFIG.SYS" "$tmp/AUTOEXEC.BAT" ::/
echo "made $img: $size, partition at LBA $start, $count sectors, $spc sector(s)/cluster"
