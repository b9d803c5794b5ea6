#!/usr/bin/env bash
# `cmake --install` of the host build, both components: exactly the
# program with its manual page (compressed, rendering cleanly and naming
# every option the program reads), bash completion and documents, and the
# window module with its pkexec menu entry, the polkit action for the
# installed path with the display kept, the menu icons and the metainfo.
# The packages made of them are package.test.sh's.
#   install.test.sh <corvantix> <source dir> <build dir>
set -euo pipefail
program=$1 src=$2 build=$(cd "$3" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
tmp=$(mktemp -d "$build/install-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

root=$tmp/root
for component in terminal desktop; do
  DESTDIR=$root cmake --install "$build" --prefix /usr --component $component >/dev/null
done
source "$src/tests/scripts/package_files.sh"
module=usr/$(sed -n 's/^CORVANTIX_MODULE_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")/corvantix-gtk.so
expected=$( (terminal_package_files; desktop_package_files "$module") | sort)
files=$(cd "$root" && find . -type f | sed 's|^\./||' | sort)
[ "$files" = "$expected" ] || fail "installed files:"$'\n'"$files"
[ -x "$root/usr/bin/corvantix" ] || fail "program not executable"
cmp -s "$program" "$root/usr/bin/corvantix" || fail "installed program differs from the build"

desktop=$root/usr/share/applications/corvantix.desktop
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$desktop" || fail "menu entry invalid"
fi
grep -qx 'Exec=pkexec /usr/bin/corvantix' "$desktop" || fail "menu entry does not start /usr/bin/corvantix through pkexec"
grep -qx 'Icon=corvantix' "$desktop" || fail "menu entry has no corvantix icon"

# Each icon is a PNG of its folder's size (IHDR width and height).
while read -r icon; do
  n=${icon#usr/share/icons/hicolor/}; n=${n%%x*}
  size=$(od -An -tu1 -j12 -N12 "$root/$icon" | tr -s ' ' | sed 's/^ //')
  [ "$size" = "73 72 68 82 0 0 $((n >> 8)) $((n & 255)) 0 0 $((n >> 8)) $((n & 255))" ] ||
    fail "$icon is not a ${n}x$n PNG"
done < <(grep "^usr/share/icons/" <<<"$expected")

python3 - "$root/usr/share/polkit-1/actions/org.corvantix.corvantix.policy" <<'EOF2' || fail "polkit action"
import sys, xml.etree.ElementTree as ET
action = ET.parse(sys.argv[1]).getroot().find("action[@id='org.corvantix.corvantix']")
notes = {a.get("key"): a.text for a in action.iter("annotate")}
assert notes.get("org.freedesktop.policykit.exec.path") == "/usr/bin/corvantix", notes
assert notes.get("org.freedesktop.policykit.exec.allow_gui") == "true", notes
EOF2

# The manual renders without warnings and names every option form the
# argument reader knows.
page=$tmp/corvantix.1
zcat "$root/usr/share/man/man1/corvantix.1.gz" >"$page"
if command -v groff >/dev/null; then
  warnings=$(groff -man -Tascii -ww -z "$page" 2>&1)
  [ -z "$warnings" ] || fail "manual page warnings: $warnings"
  text=$(groff -man -Tascii -P-cbou -rHY=0 -rLL=200n "$page" 2>/dev/null)
  forms=$(sed -n '/kOptions/,/^};/p' "$src/app/arguments.cpp" | grep -o '"-[^"]*"' | tr -d '"')
  [ -n "$forms" ] || fail "no option forms found in app/arguments.cpp"
  for form in $forms; do
    grep -qE -- "(^|[ ,])$form([ ,]|$)" <<<"$text" || fail "manual page lacks $form"
  done
fi
