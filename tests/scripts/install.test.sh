#!/usr/bin/env bash
# `cmake --install` and `cpack -G DEB` of the host build: exactly the
# program, its pkexec menu entry, the polkit action for the installed path
# with the display kept, the menu icons and a manual page that renders
# cleanly and names every option the program reads; the package holds the
# same files under /usr and declares its dependencies.
#   install.test.sh <corvantix> <source dir> <build dir>
set -euo pipefail
program=$1 src=$2 build=$(cd "$3" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
tmp=$(mktemp -d "$build/install-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

root=$tmp/root
DESTDIR=$root cmake --install "$build" --prefix /usr --component corvantix >/dev/null
icons=$(for n in 16 24 32 48 256; do echo "usr/share/icons/hicolor/${n}x$n/apps/corvantix.png"; done)
expected=$(sort <<EOF2
usr/bin/corvantix
usr/share/applications/corvantix.desktop
usr/share/polkit-1/actions/org.corvantix.corvantix.policy
usr/share/man/man1/corvantix.1
$icons
EOF2
)
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
done <<<"$icons"

python3 - "$root/usr/share/polkit-1/actions/org.corvantix.corvantix.policy" <<'EOF2' || fail "polkit action"
import sys, xml.etree.ElementTree as ET
action = ET.parse(sys.argv[1]).getroot().find("action[@id='org.corvantix.corvantix']")
notes = {a.get("key"): a.text for a in action.iter("annotate")}
assert notes.get("org.freedesktop.policykit.exec.path") == "/usr/bin/corvantix", notes
assert notes.get("org.freedesktop.policykit.exec.allow_gui") == "true", notes
EOF2

# The manual renders without warnings and names every option form the
# argument reader knows.
page=$root/usr/share/man/man1/corvantix.1
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

# The package: the same files under /usr, the program stripped.
(cd "$build" && cpack -G DEB -B "$tmp/pkg" >/dev/null)
deb=$(echo "$tmp"/pkg/corvantix_*.deb)
[ -f "$deb" ] || fail "cpack made no package"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = corvantix ] || fail "package name $(field Package)"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ "$(field Version)" = "$version" ] || fail "package version $(field Version), project $version"
[ -n "$(field Maintainer)" ] && [ -n "$(field Section)" ] && [ -n "$(field Description)" ] ||
  fail "package lacks maintainer, section or description"
depends=$(field Depends)
for dep in libgtk-3-0 libwebkit2gtk-4.1-0 libx11-6 pkexec; do
  grep -qE "(^|[ ,|])$dep( |,|$)" <<<"$depends" || fail "Depends lacks $dep: $depends"
done
! grep -qE 'mtools|dosfstools' <<<"$depends" || fail "Depends names FAT tools: $depends"
[ "$(field Recommends)" = dosfstools ] || fail "Recommends: $(field Recommends)"
listed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort)
[ "$listed" = "$expected" ] || fail "package files:"$'\n'"$listed"
dpkg-deb -x "$deb" "$tmp/deb"
diff -r "$root/usr/share" "$tmp/deb/usr/share" >&2 || fail "package files differ from the install"
