#!/usr/bin/env bash
# The Windows product's file: PE32 for the 80386, GUI subsystem, large
# address aware, a manifest asking for administrator rights with visual
# styles and DPI awareness, and the embedded files under their names.
#   check_exe.sh <corvantix.exe>
set -euo pipefail
exe=$1
fail() { echo "FAIL: $*" >&2; exit 1; }

headers=$(i686-w64-mingw32-objdump -p "$exe")
grep -q 'Magic.*010b.*(PE32)' <<<"$headers" || fail "not PE32"
grep -q 'Subsystem.*(Windows GUI)' <<<"$headers" || fail "not a GUI program"
grep -q 'large address aware' <<<"$headers" || fail "not large address aware"
file "$exe" | grep -q 'Intel 80386' || fail "not for the 80386"

strings_in_exe=$(strings -a "$exe"; strings -a -el "$exe")
for name in glob.xml glob.de-DE.xml glob.doc.xml glob.doc.de-DE.xml \
            KERNEL.SYS COMMAND.COM CONFIG.SYS AUTOEXEC.BAT ThirdPartyLicenses.txt; do
  grep -qxF "$name" <<<"$strings_in_exe" || fail "no exact name $name in the name index"
  upper=${name^^}
  grep -qF "$upper" <<<"$strings_in_exe" || fail "no resource named $upper"
done
grep -q 'level="requireAdministrator"' <<<"$strings_in_exe" || fail "manifest lacks requireAdministrator"
grep -q 'Microsoft.Windows.Common-Controls' <<<"$strings_in_exe" || fail "manifest lacks common controls 6"
grep -q 'dpiAware' <<<"$strings_in_exe" || fail "manifest lacks DPI awareness"
echo "corvantix.exe: PE32 i386 GUI, manifest and embedded files present"
