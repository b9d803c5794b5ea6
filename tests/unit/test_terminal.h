// A terminal whose output the test reads and whose input it types. Runs
// write to it from their worker threads.
#pragma once

#include "app/terminal.h"

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace corvantix::test {

class TestTerminal : public Terminal {
public:
  bool windows() const override { return windows_shown; }
  ArgumentError without_windows() const override { return no_windows; }
  bool input_is_terminal() const override { return typing; }
  bool error_is_terminal() const override { return error_on_screen; }
  void write_output(const std::string &text) override {
    std::lock_guard guard(mutex_);
    out += text;
  }
  void write_error(const std::string &text) override {
    {
      std::lock_guard guard(mutex_);
      err += text;
    }
    if (on_error)
      on_error(text);
  }
  std::optional<std::string> read_line() override {
    ++reads;
    if (typed.empty())
      return std::nullopt;
    std::string line = typed.front();
    typed.pop_front();
    return line;
  }

  bool windows_shown = false;
  ArgumentError no_windows{"ARGS_NO_DISPLAY", {}};
  bool typing = false;
  bool error_on_screen = false;
  std::deque<std::string> typed;
  std::string out, err;
  int reads = 0;
  /// Runs after each write to the error stream, on the writer's thread.
  std::function<void(const std::string &)> on_error;

private:
  std::mutex mutex_;
};

inline std::vector<std::string> terminal_lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

} // namespace corvantix::test
