// Entry point of the host build.
#include "app/startup.h"
#include "platform/host/machine/machine.h"
#include "platform/host/window_module.h"

#include <csignal>
#include <cstdlib>

namespace {

// Told to end by a signal while no run was under way: the program has
// closed its window and put its machine away like any other end, then
// ends by that signal, as a program that does not catch it would.
[[noreturn]] void end_by(int signal) {
  corvantix::emulation::Machine::install(nullptr);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
  std::_Exit(128 + signal);
}

} // namespace

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  int code, signal;
  {
    corvantix::WindowModule windows;
    // Without a display or the window module, help, version and the
    // question before a run are on the terminal.
    corvantix::ProcessTerminal terminal(windows.windows(),
                                        windows.without_windows());
    code = corvantix::app_main(args, windows.toolkit(), terminal);
    signal = windows.ending_signal();
  }
  // A run under way when the window went has ended with 1 already.
  if (signal && code == 0)
    end_by(signal);
  return code;
}
