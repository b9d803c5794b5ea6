// The terminal of the host build: the process's standard streams. The
// targets of an unattended run are run_targets_host.cpp's.
#include "platform/terminal.h"

#include <unistd.h>

#include <iostream>

namespace corvantix::platform {

bool input_is_terminal() { return ::isatty(STDIN_FILENO) == 1; }

bool error_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

void write_output(const std::string &text) { std::cout << text << std::flush; }

void write_error(const std::string &text) { std::cerr << text << std::flush; }

std::optional<std::string> read_input_line() {
  std::string line;
  if (!std::getline(std::cin, line))
    return std::nullopt;
  return line;
}

} // namespace corvantix::platform
