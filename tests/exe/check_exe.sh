#!/usr/bin/env bash
# The Windows product's file, checked without running it: PE32 for the
# 80386, GUI subsystem, large address aware, a manifest asking for
# administrator rights with visual styles and system DPI awareness, the
# embedded files under their names, and imports from system DLLs only (the
# C++ runtime is linked in, so the program runs from a stick alone).
#   check_exe.sh <corvantix.exe>
set -euo pipefail
exe=$1
fail() { echo "FAIL: $*" >&2; exit 1; }

headers=$(i686-w64-mingw32-objdump -p "$exe")
grep -q 'Magic.*010b.*(PE32)' <<<"$headers" || fail "not PE32"
grep -q 'Subsystem.*(Windows GUI)' <<<"$headers" || fail "not a GUI program"
grep -q 'large address aware' <<<"$headers" || fail "not large address aware"
file "$exe" | grep -q 'Intel 80386' || fail "not for the 80386"

declare -A system_dll
for name in advapi32 bcrypt cfgmgr32 comctl32 comdlg32 gdi32 kernel32 msvcrt \
            ole32 oleaut32 setupapi shell32 shlwapi user32 uxtheme version \
            windowscodecs; do
  system_dll[$name]=1
done
dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
[ -n "$dlls" ] || fail "no imports found"
while read -r dll; do
  name=${dll,,}
  [ -n "${system_dll[${name%.dll}]:-}" ] || fail "imports $dll, not a system DLL"
done <<<"$dlls"

strings_in_exe=$(strings -a "$exe"; strings -a -el "$exe")
for name in glob.xml glob.de-DE.xml glob.doc.xml glob.doc.de-DE.xml \
            KERNEL.SYS COMMAND.COM CONFIG.SYS AUTOEXEC.BAT ThirdPartyLicenses.txt \
            logo.png header.png; do
  grep -qxF "$name" <<<"$strings_in_exe" || fail "no exact name $name in the name index"
  upper=${name^^}
  grep -qF "$upper" <<<"$strings_in_exe" || fail "no resource named $upper"
done
grep -q 'level="requireAdministrator"' <<<"$strings_in_exe" || fail "manifest lacks requireAdministrator"
grep -q 'Microsoft.Windows.Common-Controls' <<<"$strings_in_exe" || fail "manifest lacks common controls 6"
# The windows scale once, with the system's DPI; on a monitor of another
# scale Windows stretches them.
grep -q '<dpiAware[^>]*>true</dpiAware>' <<<"$strings_in_exe" || fail "manifest lacks system DPI awareness"
! grep -qi 'PerMonitor\|true/pm' <<<"$strings_in_exe" || fail "manifest claims per-monitor DPI awareness"
echo "corvantix.exe: PE32 i386 GUI, large address aware, manifest, embedded files, system DLL imports"
