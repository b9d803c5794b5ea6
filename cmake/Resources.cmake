# The files that the program carries, found at run time by their exact names,
# and the per-platform settings of the targets that carry them.

set(CORVANTIX_GENERATED ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${CORVANTIX_GENERATED})

# ThirdPartyLicenses.txt: our notices with the system's GPL text inserted,
# written with CR LF line ends.
add_custom_command(
  OUTPUT ${CORVANTIX_GENERATED}/ThirdPartyLicenses.txt
  COMMAND ${CMAKE_COMMAND}
          -DTEMPLATE=${CMAKE_SOURCE_DIR}/resources/payload/ThirdPartyLicenses.txt.in
          -DGPL=${CORVANTIX_GPL_TEXT}
          -DOUTPUT=${CORVANTIX_GENERATED}/ThirdPartyLicenses.txt
          -P ${CMAKE_SOURCE_DIR}/cmake/insert_gpl.cmake
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/payload/ThirdPartyLicenses.txt.in
          ${CORVANTIX_GPL_TEXT} ${CMAKE_SOURCE_DIR}/cmake/insert_gpl.cmake
  COMMENT "Writing ThirdPartyLicenses.txt")

# The documentation files: the pages with the system's GPL text inserted.
set(CORVANTIX_DOC_FILES)
foreach(name glob.doc.xml glob.doc.de-DE.xml)
  add_custom_command(
    OUTPUT ${CORVANTIX_GENERATED}/${name}
    COMMAND ${CMAKE_COMMAND}
            -DTEMPLATE=${CMAKE_SOURCE_DIR}/resources/strings/${name}
            -DGPL=${CORVANTIX_GPL_TEXT} -DVERSION=${PROJECT_VERSION}
            -DOUTPUT=${CORVANTIX_GENERATED}/${name}
            -P ${CMAKE_SOURCE_DIR}/cmake/doc_pages.cmake
    DEPENDS ${CMAKE_SOURCE_DIR}/resources/strings/${name}
            ${CORVANTIX_GPL_TEXT} ${CMAKE_SOURCE_DIR}/cmake/doc_pages.cmake
    COMMENT "Writing ${name}")
  list(APPEND CORVANTIX_DOC_FILES ${CORVANTIX_GENERATED}/${name})
endforeach()

# name|path of every named embedded file
set(CORVANTIX_RESOURCES
  "KERNEL.SYS|${CORVANTIX_PAYLOAD_DIR}/KERNEL.SYS"
  "COMMAND.COM|${CORVANTIX_PAYLOAD_DIR}/COMMAND.COM"
  "CONFIG.SYS|${CMAKE_SOURCE_DIR}/resources/payload/CONFIG.SYS"
  "AUTOEXEC.BAT|${CMAKE_SOURCE_DIR}/resources/payload/AUTOEXEC.BAT"
  "ThirdPartyLicenses.txt|${CORVANTIX_GENERATED}/ThirdPartyLicenses.txt"
  "glob.xml|${CMAKE_SOURCE_DIR}/resources/strings/glob.xml"
  "glob.de-DE.xml|${CMAKE_SOURCE_DIR}/resources/strings/glob.de-DE.xml"
  "glob.doc.xml|${CORVANTIX_GENERATED}/glob.doc.xml"
  "glob.doc.de-DE.xml|${CORVANTIX_GENERATED}/glob.doc.de-DE.xml"
)
# Further files (window images) are appended by the folders that own them.
include(${CMAKE_SOURCE_DIR}/resources/resources.cmake OPTIONAL)

set(resource_files)
foreach(entry ${CORVANTIX_RESOURCES})
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 1 path)
  list(APPEND resource_files ${path})
endforeach()

if(CORVANTIX_PLATFORM STREQUAL "win32")
  enable_language(RC)
  # windres stores resource names in upper case, so an index of the exact
  # names makes the lookup case-sensitive.
  set(names "")
  set(rc "")
  foreach(entry ${CORVANTIX_RESOURCES})
    string(REPLACE "|" ";" parts "${entry}")
    list(GET parts 0 name)
    list(GET parts 1 path)
    string(APPEND names "${name}\n")
    # The LANGUAGE statement ends each entry: windres would otherwise join
    # the file name with the next entry's name.
    string(APPEND rc "LANGUAGE 0, 0\n\"${name}\" RCDATA \"${path}\"\n")
  endforeach()
  file(WRITE ${CORVANTIX_GENERATED}/resource_names.txt "${names}")
  string(APPEND rc "LANGUAGE 0, 0\n\"CORVANTIX_NAMES\" RCDATA \"${CORVANTIX_GENERATED}/resource_names.txt\"\n")
  file(WRITE ${CORVANTIX_GENERATED}/files.rc "${rc}")
  # The product's manifest and version resource carry the project's version,
  # in four numbers.
  include(${CMAKE_SOURCE_DIR}/cmake/WindowsVersion.cmake)
  corvantix_windows_version(${PROJECT_VERSION} CORVANTIX_VERSION)
  configure_file(${CMAKE_SOURCE_DIR}/resources/corvantix.manifest.in
                 ${CORVANTIX_GENERATED}/corvantix.manifest @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/resources/version.rc.in
                 ${CORVANTIX_GENERATED}/version.rc @ONLY)
  file(WRITE ${CORVANTIX_GENERATED}/program.rc
    "#include \"files.rc\"\n#include \"version.rc\"\nLANGUAGE 0, 0\n1 24 \"${CORVANTIX_GENERATED}/corvantix.manifest\"\n")
  include(${CMAKE_SOURCE_DIR}/resources/program_rc.cmake OPTIONAL)
else()
  string(REPLACE ";" "\n" manifest "${CORVANTIX_RESOURCES}")
  file(WRITE ${CORVANTIX_GENERATED}/resources.manifest "${manifest}\n")
endif()

# Gives `target` the named embedded files. PROGRAM marks the product, which
# also carries the manifest and the icon.
function(corvantix_embed_resources target)
  cmake_parse_arguments(arg "PROGRAM" "" "" ${ARGN})
  if(CORVANTIX_PLATFORM STREQUAL "win32")
    if(arg_PROGRAM)
      set(rc ${CORVANTIX_GENERATED}/program.rc)
    else()
      set(rc ${CORVANTIX_GENERATED}/files.rc)
    endif()
    target_sources(${target} PRIVATE ${rc})
    set_source_files_properties(${rc} PROPERTIES
      OBJECT_DEPENDS "${resource_files};${CORVANTIX_GENERATED}/corvantix.manifest;${CORVANTIX_GENERATED}/version.rc")
    # Keep the generated file in the build graph.
    add_custom_target(${target}_resources DEPENDS
      ${CORVANTIX_GENERATED}/ThirdPartyLicenses.txt ${CORVANTIX_DOC_FILES})
    add_dependencies(${target} ${target}_resources)
  else()
    corvantix_embed_table(${target} ${CORVANTIX_GENERATED}/resources.manifest ${resource_files})
  endif()
endfunction()

# Compiler and linker settings that every target of the platform needs.
function(corvantix_platform_setup target)
  if(CORVANTIX_PLATFORM STREQUAL "win32")
    target_compile_definitions(${target} PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX
      _WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE_STRINGS_ARE_UTF8)
    target_link_libraries(${target} PUBLIC setupapi cfgmgr32 ole32 oleaut32
      uuid wbemuuid comctl32 uxtheme bcrypt shlwapi gdi32 user32 kernel32 rstrtmgr
      advapi32)
    # Windows 7, the oldest system that the manifest names, as the oldest
    # the image runs on; Terminal Server leaves a session's program its
    # own view of the system folders.
    target_link_options(${target} PUBLIC -static
      -Wl,--major-subsystem-version,6,--minor-subsystem-version,0
      -Wl,--tsaware)
    # Four GiB of address space for the 32-bit product on 64-bit Windows;
    # a 64-bit image has that address space anyway.
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      target_link_options(${target} PUBLIC -Wl,--large-address-aware)
    endif()
  else()
    find_package(Threads REQUIRED)
    target_link_libraries(${target} PUBLIC Threads::Threads ${CMAKE_DL_LIBS})
  endif()
endfunction()
