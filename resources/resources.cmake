# The window images, drawn at build time by resources/images/make_images.py
# (Python's standard library only; the output is the same on every run).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(CORVANTIX_IMAGES_DIR ${CORVANTIX_GENERATED}/images)
set(CORVANTIX_ICON ${CORVANTIX_IMAGES_DIR}/corvantix.ico)
set(CORVANTIX_IMAGES ${CORVANTIX_ICON}
    ${CORVANTIX_IMAGES_DIR}/logo.png ${CORVANTIX_IMAGES_DIR}/header.png)
add_custom_command(
  OUTPUT ${CORVANTIX_IMAGES}
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/resources/images/make_images.py
          ${CORVANTIX_IMAGES_DIR}
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/images/make_images.py
  COMMENT "Drawing the window images")
add_custom_target(corvantix_images ALL DEPENDS ${CORVANTIX_IMAGES})

list(APPEND CORVANTIX_RESOURCES
  "logo.png|${CORVANTIX_IMAGES_DIR}/logo.png"
  "header.png|${CORVANTIX_IMAGES_DIR}/header.png")
# The Windows program carries the icon as an icon resource (program_rc.cmake);
# the host build reads it as a named file.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
  list(APPEND CORVANTIX_RESOURCES "corvantix.ico|${CORVANTIX_ICON}")
endif()
