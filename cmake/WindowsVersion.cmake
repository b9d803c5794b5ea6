# The project's version as Windows writes one: four numbers of 0 to 65535,
# the missing ones 0. A manifest's assembly version and a version
# resource's FILEVERSION and PRODUCTVERSION take exactly four.
#   corvantix_windows_version(1.2 CORVANTIX_VERSION)
# sets CORVANTIX_VERSION_DOTTED to 1.2.0.0 and CORVANTIX_VERSION_COMMAS to
# 1,2,0,0.
function(corvantix_windows_version version prefix)
  string(REPLACE "." ";" parts "${version}")
  list(LENGTH parts count)
  if(count LESS 1 OR count GREATER 4)
    message(FATAL_ERROR "Version '${version}' has ${count} parts; Windows takes 1 to 4.")
  endif()
  set(numbers)
  foreach(part IN LISTS parts)
    # Leading zeros would make math() read the part as octal.
    string(REGEX REPLACE "^0+([0-9])" "\\1" part "${part}")
    if(NOT part MATCHES "^[0-9]+$" OR part GREATER 65535)
      message(FATAL_ERROR "Version '${version}': '${part}' is no number of 0 to 65535.")
    endif()
    list(APPEND numbers ${part})
  endforeach()
  while(count LESS 4)
    list(APPEND numbers 0)
    math(EXPR count "${count} + 1")
  endwhile()
  list(JOIN numbers "." dotted)
  list(JOIN numbers "," commas)
  set(${prefix}_DOTTED ${dotted} PARENT_SCOPE)
  set(${prefix}_COMMAS ${commas} PARENT_SCOPE)
endfunction()
