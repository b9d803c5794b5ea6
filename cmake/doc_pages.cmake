# Script mode: a documentation file from its TEMPLATE, written to OUTPUT.
# The pages are stored as text, their HTML escaped once more for XML; so the
# line "@GPL_TEXT@" becomes the text of GPL escaped twice, for HTML inside
# the page and for XML around it, and "@VERSION@" becomes VERSION.
# Line ends are CR LF.
cmake_minimum_required(VERSION 3.25) # "@NAME@" stays literal text

function(escape_markup var)
  set(text "${${var}}")
  string(REPLACE "&" "&amp;" text "${text}")
  string(REPLACE "<" "&lt;" text "${text}")
  string(REPLACE ">" "&gt;" text "${text}")
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

file(READ "${TEMPLATE}" text)
file(READ "${GPL}" gpl)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\r\n" "\n" gpl "${gpl}")
string(REGEX REPLACE "\n+$" "" gpl "${gpl}")
escape_markup(gpl) # for the page
escape_markup(gpl) # for the file
if(NOT text MATCHES "\n@GPL_TEXT@\n")
  message(FATAL_ERROR "${TEMPLATE} has no line @GPL_TEXT@")
endif()
string(REPLACE "@VERSION@" "${VERSION}" text "${text}")
string(REPLACE "\n@GPL_TEXT@\n" "\n${gpl}\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUTPUT}.tmp" "${text}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
