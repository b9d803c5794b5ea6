# The files each package installs below /, one per line, sorted: what the
# install test and the package test expect.
#   terminal_package_files
#   desktop_package_files <module path below />
terminal_package_files() {
  sort <<EOF2
usr/bin/corvantix
usr/share/bash-completion/completions/corvantix
usr/share/doc/corvantix/changelog.gz
usr/share/doc/corvantix/copyright
usr/share/man/man1/corvantix.1.gz
EOF2
}

desktop_package_files() {
  {
    cat <<EOF2
$1
usr/share/applications/corvantix.desktop
usr/share/doc/corvantix-gtk/changelog.gz
usr/share/doc/corvantix-gtk/copyright
usr/share/lintian/overrides/corvantix-gtk
usr/share/metainfo/org.corvantix.corvantix.metainfo.xml
usr/share/polkit-1/actions/org.corvantix.corvantix.policy
EOF2
    for n in 16 24 32 48 256; do
      echo "usr/share/icons/hicolor/${n}x$n/apps/corvantix.png"
    done
  } | sort
}
