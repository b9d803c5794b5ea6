# The host build's windows: GTK 3, WebKitGTK and X11 are linked into a
# module of their own, which the program loads when a window may open
# (platform/host/window_module.h). The program links none of them, so the
# terminal package needs no desktop; the desktop package adds the module.
include(GNUInstallDirs)
find_package(PkgConfig REQUIRED)
pkg_check_modules(CORVANTIX_GTK REQUIRED IMPORTED_TARGET
  gtk+-3.0 webkit2gtk-4.1 x11)

set(CORVANTIX_WINDOW_PACKAGE corvantix-gtk)
set(CORVANTIX_MODULE_NAME corvantix-gtk.so)
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(module_dir lib/${CMAKE_LIBRARY_ARCHITECTURE}/corvantix)
else()
  set(module_dir lib/corvantix)
endif()
set(CORVANTIX_MODULE_DIR ${module_dir} CACHE STRING
  "Folder of the window module, relative to the install prefix")
# The installed program finds the module from its own folder, so the
# package (always /usr) and `cmake --install --prefix` agree.
file(RELATIVE_PATH module_from_bin /${CMAKE_INSTALL_BINDIR}
     /${CORVANTIX_MODULE_DIR}/${CORVANTIX_MODULE_NAME})
target_compile_definitions(corvantix_core PRIVATE
  CORVANTIX_MODULE_NAME="${CORVANTIX_MODULE_NAME}"
  CORVANTIX_MODULE_FROM_BIN="${module_from_bin}"
  CORVANTIX_WINDOW_PACKAGE="${CORVANTIX_WINDOW_PACKAGE}")

# The toolkit and its views, compiled once for the module and for the
# tests that use the toolkit directly.
file(GLOB gtk_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/host/gtk/*.cpp)
add_library(corvantix_windows OBJECT ${gtk_sources})
set_target_properties(corvantix_windows PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(corvantix_windows PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(corvantix_windows PUBLIC PkgConfig::CORVANTIX_GTK Threads::Threads)

add_library(corvantix_gtk MODULE)
target_link_libraries(corvantix_gtk PRIVATE corvantix_windows)
set_target_properties(corvantix_gtk PROPERTIES PREFIX "" OUTPUT_NAME corvantix-gtk)

# The system code that the module calls is the program's: the program
# carries all of it and exports it.
target_link_libraries(corvantix PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,corvantix_core>")
set_target_properties(corvantix PROPERTIES ENABLE_EXPORTS ON)
# Building the program builds its windows, beside it.
add_dependencies(corvantix corvantix_gtk)
