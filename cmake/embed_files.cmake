# Script mode: writes a C++ source with embedded file contents.
#   MODE=bytes: INPUT file -> array SYMBOL
#   MODE=table: INPUT manifest of "name|path" lines -> the resource table

function(hex_array file var)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" len)
  if(len EQUAL 0)
    set(${var} "0" PARENT_SCOPE)
    return()
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" hex "${hex}")
  set(${var} "${hex}" PARENT_SCOPE)
endfunction()

set(text "// Generated at build time; do not edit.\n#include <cstddef>\n\n")
if(MODE STREQUAL "bytes")
  hex_array("${INPUT}" data)
  file(SIZE "${INPUT}" size)
  string(APPEND text "namespace corvantix::embedded {\n"
    "extern const unsigned char ${SYMBOL}[];\n"
    "extern const std::size_t ${SYMBOL}_size;\n"
    "const unsigned char ${SYMBOL}[] = {\n${data}};\n"
    "const std::size_t ${SYMBOL}_size = ${size};\n}\n")
elseif(MODE STREQUAL "table")
  file(STRINGS "${INPUT}" lines)
  set(entries "")
  set(index 0)
  foreach(line ${lines})
    string(REPLACE "|" ";" parts "${line}")
    list(GET parts 0 name)
    list(GET parts 1 path)
    hex_array("${path}" data)
    file(SIZE "${path}" size)
    string(APPEND text "static const unsigned char file${index}[] = {\n${data}};\n")
    string(APPEND entries "  {\"${name}\", file${index}, ${size}},\n")
    math(EXPR index "${index} + 1")
  endforeach()
  string(APPEND text "\n#include \"platform/host/win32/embedded_files.h\"\n"
    "namespace corvantix::embedded {\n"
    "const EmbeddedFile files[] = {\n${entries}};\n"
    "const std::size_t file_count = ${index};\n}\n")
else()
  message(FATAL_ERROR "embed_files.cmake: unknown MODE '${MODE}'")
endif()
file(WRITE "${OUTPUT}.tmp" "${text}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
