// The modes without a window: help and version on a terminal, and the
// preparation of one drive, unattended (--yes) or after a question asked on
// the terminal.
#pragma once

#include "app/arguments.h"
#include "app/terminal.h"

#include <string>
#include <vector>

namespace corvantix {

/// Writes the usage, or the version when `values.version`, to standard
/// output; 0.
int print_help(const StartupValues &values, Terminal &terminal);

/// Prepares the drive of `values.target` without a window, with `process`'
/// options: at once when `values.yes`, otherwise only after the person
/// answered y or yes to the question on the terminal (refused when standard
/// input is no terminal). Each step's text goes to standard error, as a
/// line, or as a progress bar when it is a terminal; then the outcome, worded
/// as the window words it, and drive.txt as in single-drive mode. Every
/// failure is a line on standard error. 0 when the drive was prepared, else
/// 1. `args` are the program's arguments, for the command that a refusal for
/// missing rights suggests.
int run_on_terminal(const StartupValues &values, Process &process,
                    Terminal &terminal, const std::vector<std::string> &args);

} // namespace corvantix
