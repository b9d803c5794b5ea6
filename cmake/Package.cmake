# The Debian package (`cpack -G DEB` in the host build folder): the files of
# the install component `corvantix`, installed under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvantix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Corvantix)
set(CPACK_PACKAGE_CONTACT "Corvantix developers <corvantix@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "makes a USB stick boot FreeDOS")
# The summary line comes first from CPACK_PACKAGE_DESCRIPTION_SUMMARY.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Corvantix prepares a USB memory stick so that it boots FreeDOS: it backs up
the stick's files, writes a master boot record and a FAT32 file system with
its own boot code, writes the FreeDOS system files, restores the backup and
copies extra folders onto the stick. It refuses counterfeit sticks and
mounted ones. The FreeDOS files are part of the program.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries (GTK, WebKitGTK, X11, ...) come from dpkg-shlibdeps; pkexec
# starts the menu entry. The program has its own FAT code: mkfs.fat only
# makes a new stick of the emulated machine.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pkexec | policykit-1")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS dosfstools)
set(CPACK_STRIP_FILES ON)
# CPack's DEB staging installs with this prefix and a DESTDIR, so the
# install-time paths in the menu entry and the polkit action are /usr/bin.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};corvantix;/")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
