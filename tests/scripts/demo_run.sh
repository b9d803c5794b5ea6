# The surroundings of a terminal run on the demo machine in the folder
# WORK: no display, the demo images there, the texts in English, and
# temporary and state folders of its own; the shell then works in WORK.
#   demo_run_in WORK
demo_run_in() {
  unset DISPLAY WAYLAND_DISPLAY
  export CORVANTIX_MACHINE=demo # the images in the current folder
  export LANG=C.UTF-8 LC_ALL= LC_MESSAGES= ASAN_OPTIONS=detect_leaks=0
  export MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 TMPDIR=$1/tmp
  export XDG_STATE_HOME=$1/state
  mkdir -p "$TMPDIR"
  cd "$1"
}
