# The Debian packages (`cpack -G DEB` in the host build folder), one per
# install component, both under /usr:
#  - corvantix: the program for the terminal; its dependencies come from
#    dpkg-shlibdeps and hold no GTK, WebKitGTK or X11;
#  - corvantix-gtk: the window on top of it, with GTK, WebKitGTK and X11,
#    and pkexec, which starts the menu entry.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL terminal desktop)
set(CPACK_PACKAGE_NAME ${CORVANTIX_TERMINAL_PACKAGE})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Corvantix)
set(CPACK_PACKAGE_CONTACT "${CORVANTIX_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CORVANTIX_MAINTAINER}")
# The Corvantix License allows no changes to the program: not free software
# in Debian's sense, whatever the FreeDOS files inside it are.
set(CPACK_DEBIAN_PACKAGE_SECTION non-free/admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Both come from the one source, as their changelog says.
set(CPACK_DEBIAN_TERMINAL_PACKAGE_SOURCE ${CORVANTIX_TERMINAL_PACKAGE})
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SOURCE ${CORVANTIX_TERMINAL_PACKAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)

# Plain lines and blank ones between paragraphs: CPack indents them.
set(about "Corvantix prepares a USB memory stick so that it boots FreeDOS: it backs up
the stick's files, writes a master boot record and a FAT32 file system with
its own boot code, writes the FreeDOS system files, restores the backup and
copies extra folders onto the stick. It refuses counterfeit sticks and
mounted ones. The FreeDOS kernel and shell are part of the program.")

set(CPACK_DEBIAN_TERMINAL_PACKAGE_NAME ${CORVANTIX_TERMINAL_PACKAGE})
set(CPACK_DEBIAN_TERMINAL_DESCRIPTION "makes USB sticks boot FreeDOS
${about}

This package holds the program for the terminal, which needs no desktop:
corvantix --yes prepares sticks, disk images and block devices unattended.
The window is in the package ${CORVANTIX_WINDOW_PACKAGE}.")
set(CPACK_DEBIAN_TERMINAL_PACKAGE_SUGGESTS ${CORVANTIX_WINDOW_PACKAGE})

set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME ${CORVANTIX_WINDOW_PACKAGE})
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION "makes USB sticks boot FreeDOS (window)
${about}

This package adds the window (GTK 3 with WebKitGTK for its documentation),
its menu entry, which starts it as root through pkexec, and the polkit
action for it.")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS
  "${CORVANTIX_TERMINAL_PACKAGE} (= ${PROJECT_VERSION}), pkexec")

# CPack's DEB staging installs with this prefix and a DESTDIR, so the
# install-time paths in the menu entry and the polkit action are /usr/bin.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
