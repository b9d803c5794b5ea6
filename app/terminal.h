// What the program has besides its windows: whether windows can be shown,
// and the standard streams for help, version and unattended runs.
#pragma once

#include "app/arguments.h"

#include <optional>
#include <string>
#include <utility>

namespace corvantix {

/// A message on a terminal, as terminal programs write theirs: the
/// program's name first, so that a script's log tells who spoke.
std::string terminal_message(const std::string &text);

/// The line that follows an argument error on a terminal.
constexpr const char kTryHelp[] = "Try 'corvantix --help'.";

class Terminal {
public:
  virtual ~Terminal() = default;

  /// Whether windows can be shown: always on Windows; in the host build
  /// when the window module is installed and a display is named (DISPLAY,
  /// WAYLAND_DISPLAY) and opens.
  virtual bool windows() const = 0;
  /// Without windows: the language key, with its values, of the line that
  /// says why a mode that needs a window cannot run.
  virtual ArgumentError without_windows() const { return {"ARGS_NO_DISPLAY", {}}; }
  /// Whether standard input is a terminal that a person types on.
  virtual bool input_is_terminal() const = 0;
  /// Whether standard error goes to a terminal (progress as a bar).
  virtual bool error_is_terminal() const = 0;
  /// Standard output and standard error; text as it is, in UTF-8.
  virtual void write_output(const std::string &text) = 0;
  virtual void write_error(const std::string &text) = 0;
  /// One line typed on standard input, without its end; nullopt at its end.
  virtual std::optional<std::string> read_line() = 0;

  /// Writes `text` as a message line (terminal_message) to standard error.
  void say(const std::string &text) {
    write_error(terminal_message(text) + "\n");
  }
};

/// The process's own streams (platform/terminal.h).
class ProcessTerminal : public Terminal {
public:
  explicit ProcessTerminal(bool windows,
                           ArgumentError without = {"ARGS_NO_DISPLAY", {}})
      : windows_(windows), without_(std::move(without)) {}

  bool windows() const override { return windows_; }
  ArgumentError without_windows() const override { return without_; }
  bool input_is_terminal() const override;
  bool error_is_terminal() const override;
  void write_output(const std::string &text) override;
  void write_error(const std::string &text) override;
  std::optional<std::string> read_line() override;

private:
  bool windows_;
  ArgumentError without_;
};

} // namespace corvantix
