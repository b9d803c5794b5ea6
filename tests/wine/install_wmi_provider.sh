#!/usr/bin/env bash
# Installs the test WMI provider in a Wine prefix, so that every program of
# the prefix that creates CLSID_WbemLocator (the product's disk inventory)
# reads the disks of a description file instead of Wine's WMI, which knows
# no USB disks and takes no providers of its own.
#
#   install_wmi_provider.sh <wineprefix> <corvantix_test_wmi.dll> <disks file>
#
# The prefix is made when it does not exist; a 64-bit DLL needs a 64-bit
# prefix. Run it once with the 64-bit and once with the 32-bit DLL to
# serve programs of both word sizes in a 64-bit prefix. The DLL is copied
# into the prefix's system folder for its word size and becomes the
# InprocServer32 of CLSID_WbemLocator there. Through the locator the prefix
# then knows Win32_DiskDrive, Win32_DiskPartition and Win32_LogicalDisk
# alone (any other class is WBEM_E_INVALID_CLASS); wbemprox.dll and Wine's
# other COM classes, WbemStatusCodeText among them, stay as they are. The
# disks file is not copied: its path goes to HKLM\Software\Corvantix\Test
# WMI provider, value Disks, and the provider reads it at every
# ConnectServer, so a test may rewrite it between two scans.
#
# The disks file: one line per disk, in the order WMI lists the drives;
# `#` starts a comment.
#
#   disk <N> size=<bytes>[K|M|G|T] [model="<text>"] [interface=USB|IDE|SCSI]
#        [pnp=<instance id>] [partitions=<L>[,<L>...]] [null=<Name>[,...]]
#   wait <milliseconds>
#
# N is the drive's number (\\.\PHYSICALDRIVEN). size is the drive's Size as
# WMI reports it. partitions gives each partition's drive letter, or - for
# a partition without one; the default is one partition without a letter,
# and `partitions=` gives none. Partitions share the disk after the first
# MiB equally. null makes drive properties null (say PNPDeviceID). The
# defaults: model "Corvantix Test Disk", interface USB, a PnP identifier
# of the interface's form (USBSTOR\DISK&VEN_... for USB). `wait` makes
# every query's results come that much later, as from a slow or hung WMI:
# a synchronous call waits for them; a semisynchronous one
# (WBEM_FLAG_RETURN_IMMEDIATELY) returns at once, and Next with a timeout
# returns WBEM_S_TIMEDOUT until they are there.
#
#   disk 0 size=64G model="QEMU HARDDISK" interface=IDE partitions=C
#   disk 1 size=4000000000 model="SanDisk Cruzer USB Device" partitions=E
set -euo pipefail
if [ $# -ne 3 ]; then
  sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
prefix=$(realpath -m "$1") dll=$(realpath "$2") disks=$(realpath "$3")
[ -f "$dll" ] || { echo "no DLL at $2" >&2; exit 1; }
[ -f "$disks" ] || { echo "no disks file at $3" >&2; exit 1; }

export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all}
if file -b "$dll" | grep -q '^PE32+'; then dll_bits=64; else dll_bits=32; fi
if [ -f "$prefix/system.reg" ]; then
  if grep -q '^#arch=win32' "$prefix/system.reg"; then prefix_bits=32; else prefix_bits=64; fi
else
  prefix_bits=$dll_bits
fi
if [ "$prefix_bits" = 64 ]; then
  unset WINEARCH
  export WINELOADER=/usr/lib/wine/wine64
  wine=(/usr/lib/wine/wine64)
else
  [ "$dll_bits" = 32 ] || { echo "a 64-bit DLL needs a 64-bit prefix" >&2; exit 1; }
  export WINEARCH=win32
  unset WINELOADER
  wine=(wine)
fi
if [ ! -f "$prefix/system.reg" ]; then
  "${wine[@]}" wineboot --init >/dev/null 2>&1
  wineserver -w
fi

# 32-bit programs of a 64-bit prefix read system32 as syswow64 and their
# classes from the Wow6432Node.
folder=system32 classes='Software\Classes'
if [ "$prefix_bits" = 64 ] && [ "$dll_bits" = 32 ]; then
  folder=syswow64 classes='Software\Classes\Wow6432Node'
fi
install -m 644 "$dll" "$prefix/drive_c/windows/$folder/corvantix_test_wmi.dll"

reg_text() { local s=${1//\\/\\\\}; echo "\"${s//\"/\\\"}\""; }
locator='{4590F811-1D3A-11D0-891F-00AA004B2E24}'
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/provider.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\$classes\\CLSID\\$locator\\InprocServer32]
@=$(reg_text 'C:\windows\system32\corvantix_test_wmi.dll')
"ThreadingModel"="Both"

[HKEY_LOCAL_MACHINE\\Software\\Corvantix\\Test WMI provider]
"Disks"=$(reg_text "Z:${disks//\//\\}")
REG
"${wine[@]}" regedit /S "Z:${work//\//\\}\\provider.reg"
