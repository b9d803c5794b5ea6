#!/usr/bin/env bash
# `cpack -G DEB` of the host build: the two packages as Debian users expect
# them. corvantix, the program for the terminal, depends on no GTK,
# WebKitGTK or X11, and its program needs none of them; corvantix-gtk adds
# the window and depends on corvantix of the same version and on pkexec.
# Each has its copyright and changelog, the manual page is compressed, the
# installed program finds the installed window, and lintian and appstreamcli
# (where installed) find no error or warning.
#   package.test.sh <corvantix> <source dir> <build dir>
set -euo pipefail
src=$2 build=$(cd "$3" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
if [ "$(cache CORVANTIX_SANITIZE)" = ON ] || [ "$(cache CORVANTIX_FUZZ)" = ON ]; then
  echo "the packages come from the plain build"
  exit 77
fi
tmp=$(mktemp -d "$build/package-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

(cd "$build" && cpack -G DEB -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1) ||
  { cat "$tmp/cpack.log" >&2; fail "cpack"; }
version=$(cache CMAKE_PROJECT_VERSION)
arch=$(dpkg --print-architecture)
terminal=$tmp/pkg/corvantix_${version}_$arch.deb
desktop=$tmp/pkg/corvantix-gtk_${version}_$arch.deb
[ -f "$terminal" ] && [ -f "$desktop" ] || fail "packages made: $(ls "$tmp/pkg")"
field() { dpkg-deb -f "$1" "$2"; }
files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort; }

# --- fields -----------------------------------------------------------------
for deb in "$terminal" "$desktop"; do
  [ "$(field "$deb" Version)" = "$version" ] || fail "$deb: version $(field "$deb" Version)"
  [ "$(field "$deb" Maintainer)" = "$(cache CORVANTIX_MAINTAINER)" ] ||
    fail "$deb: maintainer $(field "$deb" Maintainer)"
done
depends=$(field "$terminal" Depends)
grep -q libc6 <<<"$depends" || fail "terminal Depends has no shared libraries: $depends"
! grep -qiE 'gtk|webkit|libx11|pkexec|policykit' <<<"$depends" ||
  fail "terminal Depends needs a desktop: $depends"
[ -z "$(field "$terminal" Recommends)" ] || fail "Recommends: $(field "$terminal" Recommends)"
depends=$(field "$desktop" Depends)
for dep in "corvantix (= $version)" pkexec libgtk-3-0 libwebkit2gtk-4.1-0 libx11-6; do
  grep -qF "$dep" <<<"$depends" || fail "desktop Depends lacks $dep: $depends"
done
! grep -q policykit-1 <<<"$depends" || fail "desktop Depends on policykit-1: $depends"

# --- files ------------------------------------------------------------------
source "$src/tests/scripts/package_files.sh"
expected=$(terminal_package_files)
[ "$(files "$terminal")" = "$expected" ] || fail "terminal files:"$'\n'"$(files "$terminal")"
module=usr/$(cache CORVANTIX_MODULE_DIR)/corvantix-gtk.so
expected=$(desktop_package_files "$module")
[ "$(files "$desktop")" = "$expected" ] || fail "desktop files:"$'\n'"$(files "$desktop")"

root=$tmp/root
dpkg-deb -x "$terminal" "$root"
needed=$(readelf -d "$root/usr/bin/corvantix" | grep NEEDED)
! grep -qiE 'gtk|gdk|webkit|X11|glib' <<<"$needed" || fail "the program needs a desktop: $needed"
readelf -d "$root/usr/bin/corvantix" | grep -q 'BIND_NOW' || fail "the program is not bound at once"
readelf -h "$root/usr/bin/corvantix" | grep -q 'DYN' || fail "the program is no PIE"

# The changelog's latest entry and the metainfo's latest release are this
# version; the copyright's own licence is the one the program shows.
zcat "$root/usr/share/doc/corvantix/changelog.gz" | head -1 | grep -qF "corvantix ($version) " ||
  fail "changelog: $(zcat "$root/usr/share/doc/corvantix/changelog.gz" | head -1)"
grep -qF "<release version=\"$version\"" "$src/packaging/org.corvantix.corvantix.metainfo.xml" ||
  fail "metainfo has no release $version"
python3 - "$root/usr/share/doc/corvantix/copyright" "$src/resources/strings/glob.doc.xml" <<'EOF' ||
import html, re, sys
words = lambda text: " ".join(text.split())
copyright = open(sys.argv[1], encoding="utf-8").read()
terms = words(re.search(r"^License: Corvantix\n( .*?)(?:\n\n|\Z)", copyright, re.S | re.M)[1])
page = html.unescape(re.search(r'<Entry name="/cxlicense">(.*?)</Entry>',
                               open(sys.argv[2], encoding="utf-8").read(), re.S)[1])
clauses = re.findall(r"<(?:li|p)>(.*?)</(?:li|p)>", page, re.S)
assert len(clauses) == 11, clauses
for clause in clauses:
    clause = words(html.unescape(re.sub(r"<[^>]+>", "", clause)))
    assert clause in terms, clause
EOF
  fail "the copyright's Corvantix licence differs from the program's"

# The completion offers option forms, image files, folders to copy and
# the drive letters of the machine chosen.
if [ -f /usr/share/bash-completion/bash_completion ]; then
  mkdir "$tmp/here" "$tmp/here/games" && touch "$tmp/here/stick.img" "$tmp/here/stock.txt"
  printf 'disk a.img letter=G\n# disk b.img letter=H\n' >"$tmp/here/machine"
  completions() {
    (cd "$tmp/here" && bash -c 'source /usr/share/bash-completion/bash_completion
      source "$0"; COMP_WORDS=(corvantix "$@"); COMP_CWORD=$#
      COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
      _corvantix corvantix "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
      printf "%s\n" "${COMPREPLY[@]}" | sort | xargs' \
      "$root/usr/share/bash-completion/completions/corvantix" "$@")
  }
  while IFS='|' read -r machine words expected; do
    read -r -a words <<<"$words"
    [ "${words[-1]}" != '""' ] || words[-1]="" # the word completed is empty
    got=$(CORVANTIX_MACHINE=$machine completions "${words[@]}")
    [ "$got" = "$expected" ] || fail "completing '${words[*]}' ($machine): '$got', not '$expected'"
  done <<'EOF2'
demo|--no-f|--no-fdos --no-format
demo|--yes st|stick.img
demo|--size 25|256M
demo|-c ""|games
demo|--yes ""|E games stick.img
machine|--yes ""|G games stick.img
EOF2
fi

# Without the window package the program says which package it needs; with
# it, the installed program loads the installed window, which then finds
# no display to open.
window_line() { LC_ALL=C LANGUAGE= DISPLAY=:corvantix-none "$root/usr/bin/corvantix" 2>&1 >/dev/null || true; }
grep -q "needs the package corvantix-gtk" <<<"$(window_line)" || fail "without the window: $(window_line)"
dpkg-deb -x "$desktop" "$root"
grep -q "needs a display" <<<"$(window_line)" || fail "with the window: $(window_line)"

# --- outside judges -----------------------------------------------------------
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "$root/usr/share/metainfo/org.corvantix.corvantix.metainfo.xml" >&2 ||
    fail "metainfo"
fi
if command -v lintian >/dev/null; then
  report=$(lintian --pedantic --info "$terminal" "$desktop" 2>&1) || true
  ! grep -qE '^[EW]: ' <<<"$report" || fail "lintian:"$'\n'"$report"
fi
