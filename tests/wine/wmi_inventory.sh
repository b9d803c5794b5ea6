#!/usr/bin/env bash
# The product's disk list under Wine, through its own WMI code, against the
# test WMI provider installed in a prefix of this test's own: a USB stick
# on E: and an IDE disk on C:. The terminal mode must take E and refuse C;
# then the Win32Provided* cases list other machines through the product.
#   wmi_inventory.sh <corvantix_tests.exe> <corvantix.exe> <provider DLL> <source dir> <build dir>
set -euo pipefail
tests=$(realpath "$1") program=$(realpath "$2") dll=$(realpath "$3")
src=$(realpath "$4") build=$(realpath "$5")
source "$src/tests/scripts/window_checks.sh"

wine_work "$tests" "$build/wineprefix-wmi"

cat >"$work/disks.txt" <<'DISKS'
# The machine of the terminal check; the test cases write their own.
disk 0 size=64G model="WDC WD640AAKS" interface=IDE partitions=C
disk 1 size=4000000000 model="SanDisk Cruzer USB Device" partitions=E pnp=USBSTOR\DISK&VEN_SANDISK&PROD_CRUZER&REV_1.00\4C530001&0
DISKS
bash "$src/tests/wine/install_wmi_provider.sh" "$WINEPREFIX" "$dll" "$work/disks.txt"

# A refused target stops the run before anything is touched, so naming
# both shows which of the two the product took for a USB drive.
status=0
"${wine[@]}" "$program" --yes E C >"$work/terminal.txt" 2>&1 || status=$?
cat "$work/terminal.txt"
[ "$status" -eq 1 ] || fail "the terminal run ended with $status, not 1"
grep -qF 'C:\' "$work/terminal.txt" || fail "C: (the IDE disk) was not refused"
! grep -qF 'E:\' "$work/terminal.txt" || fail "E: (the USB stick) was refused"

export CORVANTIX_WMI_DISKS
CORVANTIX_WMI_DISKS="Z:${work//\//\\}\\disks.txt"
status=0
"${wine[@]}" "$tests" --gtest_brief=1 --gtest_filter='Win32Provided*' \
  >"$work/out.txt" 2>&1 || status=$?
cat "$work/out.txt"
[ "$status" -eq 0 ] || fail "the inventory tests failed"
grep -q '^\[  PASSED  \] [1-9]' "$work/out.txt" || fail "no inventory test ran"
! grep -q '^\[  SKIPPED \]' "$work/out.txt" || fail "inventory tests were skipped"
