// The program's life: language table, command line, then one run mode.
#pragma once

#include "app/arguments.h"
#include "app/terminal.h"
#include "ui/toolkit.h"

#include <string>
#include <vector>

namespace corvantix {

/// Runs the program with `args` (after the program's own name) and returns
/// the process exit code: 1 after an argument error, else the mode's code.
/// Windows can be shown; the terminal is the process's own streams.
int app_main(const std::vector<std::string> &args, Toolkit &toolkit);

/// The same with `terminal`. Without windows, --help and --version write to
/// its standard output, and a target on the command line is prepared after
/// a question on the terminal; with --yes a target is prepared without a
/// window or a question, windows or not (see terminal_modes.h).
int app_main(const std::vector<std::string> &args, Toolkit &toolkit,
             Terminal &terminal);

/// Runs the mode chosen by the command line with the options read: 0 when
/// its window closed normally, 1 after the crash message or when the main
/// window went away while a run was under way (its outcome is then told
/// through Toolkit::note).
int run_mode(const StartupValues &values, Process &process, Toolkit &toolkit);

} // namespace corvantix
