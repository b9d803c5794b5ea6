# What `cmake --install` puts on a Linux system (host build only), in two
# components that cpack makes the two Debian packages (cmake/Package.cmake):
#  - terminal: the program, which needs no desktop, its manual page, the
#    bash completion, and the copyright and changelog;
#  - desktop: the window module, the menu entry started through pkexec, the
#    polkit action that lets pkexec open the window, the menu icons and the
#    AppStream metainfo.
# The FreeDOS files travel inside the program.
include(GNUInstallDirs)

set(CORVANTIX_MAINTAINER "Corvantix developers <corvantix@example.org>"
    CACHE STRING "The packages' maintainer, as name and mail address")
set(CORVANTIX_TERMINAL_PACKAGE corvantix)
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc)

set(CORVANTIX_ICONS_DIR ${CORVANTIX_GENERATED}/icons)
set(CORVANTIX_ICON_SIZES 16 24 32 48 256)
set(icon_files)
foreach(size ${CORVANTIX_ICON_SIZES})
  list(APPEND icon_files ${CORVANTIX_ICONS_DIR}/${size}x${size}/corvantix.png)
endforeach()
add_custom_command(
  OUTPUT ${icon_files}
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/packaging/make_icons.py
          ${CORVANTIX_ICONS_DIR}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/make_icons.py
          ${CMAKE_SOURCE_DIR}/resources/images/make_images.py
  COMMENT "Drawing the menu icons")

# The manual page and the changelog compressed as Debian keeps them: gzip
# at its best, without a name or time stamp, so builds are reproducible.
set(packaging_out ${CORVANTIX_GENERATED}/packaging)
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in
               ${packaging_out}/changelog @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/packaging/copyright.in
               ${packaging_out}/copyright @ONLY)
set(compressed)
foreach(file ${CMAKE_SOURCE_DIR}/packaging/corvantix.1 ${packaging_out}/changelog)
  get_filename_component(name ${file} NAME)
  set(out ${packaging_out}/gz/${name}.gz)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E copy ${file} ${packaging_out}/gz/${name}
    COMMAND gzip -9nf ${packaging_out}/gz/${name}
    DEPENDS ${file}
    COMMENT "Compressing ${name}")
  list(APPEND compressed ${out})
endforeach()
add_custom_target(corvantix_packaging_files ALL DEPENDS ${icon_files} ${compressed})

# --- terminal ---------------------------------------------------------------
install(TARGETS corvantix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT terminal)
install(FILES ${packaging_out}/gz/corvantix.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT terminal)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/corvantix.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
        RENAME corvantix COMPONENT terminal)

# Each package has its own copyright and changelog, as Debian asks.
set(documents ${packaging_out}/copyright ${packaging_out}/gz/changelog.gz)
install(FILES ${documents} DESTINATION ${doc_dir}/${CORVANTIX_TERMINAL_PACKAGE}
        COMPONENT terminal)
install(FILES ${documents} DESTINATION ${doc_dir}/${CORVANTIX_WINDOW_PACKAGE}
        COMPONENT desktop)

# --- desktop ----------------------------------------------------------------
# A module is read, not run: no execute bits.
install(TARGETS corvantix_gtk LIBRARY DESTINATION ${CORVANTIX_MODULE_DIR}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        COMPONENT desktop)

# The menu entry and the polkit action name the installed program by its
# absolute path, known only at install time (--prefix, cpack's /usr).
set(installed ${CMAKE_BINARY_DIR}/installed)
install(CODE "
  set(CORVANTIX_TEMPLATES \"${CMAKE_SOURCE_DIR}/packaging\")
  set(CORVANTIX_INSTALLED \"${installed}\")
  set(CORVANTIX_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  include(\"${CMAKE_SOURCE_DIR}/cmake/configure_installed.cmake\")"
  COMPONENT desktop)
install(FILES ${installed}/corvantix.desktop
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications COMPONENT desktop)
install(FILES ${installed}/org.corvantix.corvantix.policy
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/polkit-1/actions COMPONENT desktop)
foreach(size ${CORVANTIX_ICON_SIZES})
  install(FILES ${CORVANTIX_ICONS_DIR}/${size}x${size}/corvantix.png
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps
          COMPONENT desktop)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/packaging/org.corvantix.corvantix.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo COMPONENT desktop)
# lintian knows su-to-root and the like as launchers, not pkexec, which
# the package depends on.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/corvantix-gtk.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME ${CORVANTIX_WINDOW_PACKAGE} COMPONENT desktop)
