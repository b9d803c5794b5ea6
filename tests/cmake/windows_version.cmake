# The manifest and version resource templates filled with project versions
# of one to four parts: each must come out with four numbers, and a version
# Windows cannot write must stop the configuration.
#   cmake -DSOURCE_DIR=<top> -DWORK=<folder> [-DWINDRES=<windres>] -P windows_version.cmake
# With -DVERSION=<v> it only converts that version (for the refusals).
include(${SOURCE_DIR}/cmake/WindowsVersion.cmake)
if(DEFINED VERSION)
  corvantix_windows_version(${VERSION} CORVANTIX_VERSION)
  return()
endif()

function(expect_converted version dotted)
  corvantix_windows_version(${version} CORVANTIX_VERSION)
  string(REPLACE "." "," commas "${dotted}")
  set(PROJECT_VERSION ${version})
  set(folder ${WORK}/${version})
  configure_file(${SOURCE_DIR}/resources/corvantix.manifest.in
                 ${folder}/corvantix.manifest @ONLY)
  configure_file(${SOURCE_DIR}/resources/version.rc.in ${folder}/version.rc @ONLY)
  file(READ ${folder}/corvantix.manifest manifest)
  if(NOT manifest MATCHES "name=\"Corvantix\" version=\"([^\"]*)\"" OR
     NOT CMAKE_MATCH_1 STREQUAL dotted)
    message(SEND_ERROR "${version}: manifest version '${CMAKE_MATCH_1}', not '${dotted}'")
  endif()
  file(READ ${folder}/version.rc rc)
  foreach(key FILEVERSION PRODUCTVERSION)
    if(NOT rc MATCHES "\n${key} ([^\n]*)\n" OR NOT CMAKE_MATCH_1 STREQUAL commas)
      message(SEND_ERROR "${version}: ${key} '${CMAKE_MATCH_1}', not '${commas}'")
    endif()
  endforeach()
  if(NOT rc MATCHES "\"FileVersion\", \"${version}\"")
    message(SEND_ERROR "${version}: the FileVersion text is not the version as given")
  endif()
  # The resource compiler takes exactly four numbers.
  if(WINDRES)
    execute_process(COMMAND ${WINDRES} ${folder}/version.rc -O coff
                            -o ${folder}/version.res
                    RESULT_VARIABLE failed ERROR_VARIABLE why)
    if(failed)
      message(SEND_ERROR "${version}: windres refuses the resource: ${why}")
    endif()
  endif()
endfunction()

function(expect_refused version)
  execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${SOURCE_DIR}
                          -DVERSION=${version} -P ${CMAKE_CURRENT_LIST_FILE}
                  RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
  if(NOT failed)
    message(SEND_ERROR "${version} was taken; Windows cannot write it")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK})
expect_converted(3 3.0.0.0)
expect_converted(1.2 1.2.0.0)
expect_converted(1.0.0 1.0.0.0)
expect_converted(2.10.7.65535 2.10.7.65535)
expect_converted(1.08 1.8.0.0)
expect_refused(1.2.3.4.5)
expect_refused(1.65536)
expect_refused(1.2-rc1)
