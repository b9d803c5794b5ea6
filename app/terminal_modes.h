// The modes without a window: help and version on a terminal, and the
// preparation of drives, unattended (--yes) or after a question asked on
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

/// Prepares the drives of `values.targets` without a window, all at once,
/// each on a thread of its own with a copy of `process`' options: at once
/// when `values.yes`, otherwise only after the person answered y or yes to
/// one question on the terminal (refused when standard input is no
/// terminal). When any target is refused, each refusal is a line and
/// nothing runs. The progress goes to standard error (TerminalProgress);
/// then a line per drive with its outcome, worded as the window words it
/// (with several drives prefixed by the target and followed by a line
/// naming those not prepared), and drive.txt with the letters of the
/// prepared drives. 0 when every drive was prepared, 130 when a signal
/// stopped any, else 1. `args` are the program's arguments, for the
/// command that a refusal for missing rights suggests.
int run_on_terminal(const StartupValues &values, Process &process,
                    Terminal &terminal, const std::vector<std::string> &args);

} // namespace corvantix
