# The program icon: the first icon group, which Explorer shows for the file
# and the windows load by its number.
file(APPEND ${CORVANTIX_GENERATED}/program.rc
  "LANGUAGE 0, 0\n1 ICON \"${CORVANTIX_ICON}\"\n")
list(APPEND resource_files ${CORVANTIX_ICON})
