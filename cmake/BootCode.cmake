# The boot code templates: the project's NASM sources assembled into flat
# 512-byte sectors and compiled into the program.
#
# corvantix_embed_boot_code(target symbol source): assembles `source` with
# `nasm -f bin`, checks that it gives exactly one sector and embeds it as the
# byte array `symbol` (see Embed.cmake).
#
# In script mode (-P) this file is the build step itself: SOURCE -> OUTPUT.

if(CMAKE_SCRIPT_MODE_FILE)
  execute_process(COMMAND ${NASM} -f bin -o ${OUTPUT}.tmp ${SOURCE}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "nasm failed on ${SOURCE}")
  endif()
  file(SIZE ${OUTPUT}.tmp size)
  if(NOT size EQUAL 512)
    message(FATAL_ERROR "${SOURCE} assembles to ${size} bytes, not one 512-byte sector")
  endif()
  file(RENAME ${OUTPUT}.tmp ${OUTPUT})
  return()
endif()

find_program(CORVANTIX_NASM nasm)
if(NOT CORVANTIX_NASM)
  message(FATAL_ERROR "NASM not found: the boot code in disk/boot/*.asm is "
    "assembled with it. Install it (Debian package nasm) or set CORVANTIX_NASM.")
endif()

function(corvantix_embed_boot_code target symbol source)
  set(binary ${CMAKE_BINARY_DIR}/boot/${symbol}.bin)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/boot)
  add_custom_command(
    OUTPUT ${binary}
    COMMAND ${CMAKE_COMMAND} -DNASM=${CORVANTIX_NASM} -DSOURCE=${source}
            -DOUTPUT=${binary} -P ${CMAKE_SOURCE_DIR}/cmake/BootCode.cmake
    DEPENDS ${source} ${CMAKE_SOURCE_DIR}/cmake/BootCode.cmake
    COMMENT "Assembling ${source}")
  corvantix_embed_bytes(${target} ${symbol} ${binary})
endfunction()
