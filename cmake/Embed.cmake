# Turning files into data compiled into the program.
#
# corvantix_embed_bytes(target symbol file): a C++ byte array `symbol`
# (namespace corvantix::embedded) with the contents of `file`, for data that
# the system code uses directly, such as the boot code templates.

set(CORVANTIX_EMBED_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/embed_files.cmake)

function(corvantix_embed_bytes target symbol file)
  set(out ${CMAKE_BINARY_DIR}/embedded/${symbol}.cpp)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DMODE=bytes -DSYMBOL=${symbol} -DINPUT=${file}
            -DOUTPUT=${out} -P ${CORVANTIX_EMBED_SCRIPT}
    DEPENDS ${file} ${CORVANTIX_EMBED_SCRIPT}
    COMMENT "Embedding ${symbol}")
  target_sources(${target} PRIVATE ${out})
endfunction()

# corvantix_embed_table(target manifest deps...): the host build's table of
# named embedded files. `manifest` holds one "name|path" line per file.
function(corvantix_embed_table target manifest)
  set(out ${CMAKE_BINARY_DIR}/embedded/resource_table_${target}.cpp)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DMODE=table -DINPUT=${manifest}
            -DOUTPUT=${out} -P ${CORVANTIX_EMBED_SCRIPT}
    DEPENDS ${manifest} ${ARGN} ${CORVANTIX_EMBED_SCRIPT}
    COMMENT "Embedding the resource table of ${target}")
  target_sources(${target} PRIVATE ${out})
endfunction()
