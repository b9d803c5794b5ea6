# What `cmake --install` puts on a Linux system (host build only): the
# program, its menu entry started through pkexec, the polkit action that lets
# pkexec open its window, the menu icon and the manual page. Everything is in
# the component `corvantix`; the FreeDOS files travel inside the program.
include(GNUInstallDirs)

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
add_custom_target(corvantix_menu_icons ALL DEPENDS ${icon_files})

install(TARGETS corvantix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT corvantix)

# The menu entry and the polkit action name the installed program by its
# absolute path, known only at install time (--prefix, cpack's /usr).
set(installed ${CMAKE_BINARY_DIR}/installed)
install(CODE "
  set(CORVANTIX_TEMPLATES \"${CMAKE_SOURCE_DIR}/packaging\")
  set(CORVANTIX_INSTALLED \"${installed}\")
  set(CORVANTIX_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  include(\"${CMAKE_SOURCE_DIR}/cmake/configure_installed.cmake\")"
  COMPONENT corvantix)
install(FILES ${installed}/corvantix.desktop
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications COMPONENT corvantix)
install(FILES ${installed}/org.corvantix.corvantix.policy
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/polkit-1/actions COMPONENT corvantix)
foreach(size ${CORVANTIX_ICON_SIZES})
  install(FILES ${CORVANTIX_ICONS_DIR}/${size}x${size}/corvantix.png
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps
          COMPONENT corvantix)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/packaging/corvantix.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT corvantix)
