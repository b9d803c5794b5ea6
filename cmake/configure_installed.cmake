# Runs at install time: writes the menu entry and the polkit action for the
# program's path under the prefix being installed to.
if(IS_ABSOLUTE "${CORVANTIX_BINDIR}")
  set(CORVANTIX_PROGRAM "${CORVANTIX_BINDIR}/corvantix")
else()
  set(CORVANTIX_PROGRAM "${CMAKE_INSTALL_PREFIX}/${CORVANTIX_BINDIR}/corvantix")
endif()
foreach(name corvantix.desktop org.corvantix.corvantix.policy)
  configure_file("${CORVANTIX_TEMPLATES}/${name}.in"
                 "${CORVANTIX_INSTALLED}/${name}" @ONLY)
endforeach()
