#include "app/terminal.h"

#include "platform/terminal.h"

namespace corvantix {

std::string terminal_message(const std::string &text) {
  return "corvantix: " + text;
}

bool ProcessTerminal::input_is_terminal() const {
  return platform::input_is_terminal();
}

bool ProcessTerminal::error_is_terminal() const {
  return platform::error_is_terminal();
}

void ProcessTerminal::write_output(const std::string &text) {
  platform::write_output(text);
}

void ProcessTerminal::write_error(const std::string &text) {
  platform::write_error(text);
}

std::optional<std::string> ProcessTerminal::read_line() {
  return platform::read_input_line();
}

} // namespace corvantix
