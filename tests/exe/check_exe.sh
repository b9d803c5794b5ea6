#!/usr/bin/env bash
# The Windows product's file, checked without running it: PE32 for the
# 80386, GUI subsystem 6.0, large address aware, Terminal Server aware, a
# manifest asking for administrator rights with visual styles, system DPI
# awareness and long paths, a version resource of the project's version, the embedded files
# under their names, imports from system DLLs only (the C++ runtime is
# linked in, so the program runs from a stick alone) and no debug sections.
#   check_exe.sh <corvantix.exe> <project version>
set -euo pipefail
exe=$1 version=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
# Windows writes versions in four numbers; the missing ones are 0.
IFS=. read -r -a parts <<<"$version"
while [ ${#parts[@]} -lt 4 ]; do parts+=(0); done
four=$(IFS=.; echo "${parts[*]}")

headers=$(i686-w64-mingw32-objdump -p "$exe")
grep -q 'Magic.*010b.*(PE32)' <<<"$headers" || fail "not PE32"
grep -q 'Subsystem.*(Windows GUI)' <<<"$headers" || fail "not a GUI program"
grep -q 'large address aware' <<<"$headers" || fail "not large address aware"
# Windows 7, which the manifest names, is the oldest system it starts on.
subsystem=$(awk '$1 == "MajorSubsystemVersion" { major = $2 }
                 $1 == "MinorSubsystemVersion" { minor = $2 }
                 END { print major "." minor }' <<<"$headers")
[ "$subsystem" = 6.0 ] || fail "subsystem version $subsystem, not 6.0"
grep -q 'TERMINAL_SERVICE_AWARE' <<<"$headers" || fail "not Terminal Server aware"
file "$exe" | grep -q 'Intel 80386' || fail "not for the 80386"
debug=$(i686-w64-mingw32-objdump -h "$exe" | awk '$2 ~ /^\.debug/ {print $2}')
[ -z "$debug" ] || fail "debug sections: $(echo $debug)"

declare -A system_dll
for name in advapi32 bcrypt cfgmgr32 comctl32 comdlg32 gdi32 kernel32 msvcrt \
            ole32 oleaut32 rstrtmgr setupapi shell32 shlwapi user32 uxtheme \
            version windowscodecs; do
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
manifest=$(wrestool -x --raw --type=24 "$exe")
grep -q 'level="requireAdministrator"' <<<"$manifest" || fail "manifest lacks requireAdministrator"
grep -q 'Microsoft.Windows.Common-Controls' <<<"$manifest" || fail "manifest lacks common controls 6"
# The windows scale once, with the system's DPI; on a monitor of another
# scale Windows stretches them.
grep -q '<dpiAware[^>]*>true</dpiAware>' <<<"$manifest" || fail "manifest lacks system DPI awareness"
! grep -qi 'PerMonitor\|true/pm' <<<"$manifest" || fail "manifest claims per-monitor DPI awareness"
grep -q '<longPathAware[^>]*>true</longPathAware>' <<<"$manifest" || fail "manifest lacks longPathAware"
grep -q "assemblyIdentity[^>]*name=\"Corvantix\" version=\"$four\"" <<<"$manifest" ||
  fail "manifest's assembly version is not $four"

# The version resource: each string value follows its key, and the fixed
# part holds the version as numbers.
strings_of_version=$(wrestool -x --raw --type=16 "$exe" | strings -el)
value_of() { awk -v key="$1" 'found { print; exit } $0 == key { found = 1 }' <<<"$strings_of_version"; }
for pair in "FileDescription=Corvantix" "ProductName=Corvantix" \
            "FileVersion=$version" "ProductVersion=$version" \
            "OriginalFilename=corvantix.exe"; do
  key=${pair%%=*} want=${pair#*=}
  [ "$(value_of "$key")" = "$want" ] || fail "version resource: $key is '$(value_of "$key")', not '$want'"
done
for key in CompanyName LegalCopyright; do
  grep -q Corvantix <<<"$(value_of "$key")" || fail "version resource: $key does not name the project"
done
numbers=$(wrestool -x --raw --type=16 "$exe" | python3 -c '
import struct, sys
data = sys.stdin.buffer.read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<4I", data, at + 8)
dotted = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
print(dotted(file_ms, file_ls), dotted(product_ms, product_ls))')
[ "$numbers" = "$four $four" ] || fail "fixed version numbers are $numbers, not $four"
echo "corvantix.exe $version: PE32 i386 GUI $subsystem, large address aware, Terminal Server aware, no debug sections, manifest, version resource, embedded files, system DLL imports"
