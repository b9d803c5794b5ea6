// The progress of runs on a terminal's error stream. On a terminal: one
// line that is redrawn for one stick (the bar of earlier versions), or a
// line per stick, redrawn together; elsewhere plain lines, a line when a
// step begins and at most one progress line every few seconds between.
// Each line tells the step, the whole run's percentage and, once the run
// reports them, the bytes copied so far and the recent rate.
#pragma once

#include "app/terminal.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvantix {

/// A number of bytes as people read it: "512 B", "12.3 MiB".
std::string bytes_text(std::uint64_t bytes);

class TerminalProgress {
public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;

  /// Between plain progress lines of one stick, when the error stream is
  /// no terminal.
  static constexpr std::chrono::seconds kPlainEvery{5};
  /// The rate is measured over about this long.
  static constexpr std::chrono::seconds kRateWindow{5};
  /// Between redraws for the bytes of a run, on a terminal.
  static constexpr std::chrono::milliseconds kRedrawEvery{250};

  /// `names`: the sticks' targets as given, which prefix their lines when
  /// there are several.
  TerminalProgress(Terminal &terminal, std::vector<std::string> names,
                   Now now = Clock::now);

  /// Stick `stick` reached `fraction` of its run in the step `text`. Safe
  /// from any thread, as are the others.
  void step(std::size_t stick, double fraction, const std::string &text);
  /// Stick `stick` copied or read back `bytes` so far.
  void bytes(std::size_t stick, std::uint64_t bytes);
  /// A message (terminal_message) about stick `stick`, above the progress
  /// lines.
  void line(std::size_t stick, const std::string &text);
  /// A message about no stick in particular.
  void line(const std::string &text);
  /// The progress lines are final; lines after them go below.
  void end();

private:
  struct Sample {
    Clock::time_point at;
    std::uint64_t bytes;
  };
  struct Stick {
    std::string name;
    std::string text;
    double fraction = 0;
    bool begun = false;
    double steps = 1; ///< of the run, from its first report
    std::deque<Sample> samples; ///< the bytes reported recently
    Clock::time_point said;     ///< the last plain line or redraw
  };

  std::string prefix(std::size_t stick) const;
  std::string status(const Stick &stick, bool bar) const;
  std::optional<double> rate(const Stick &stick) const;
  void update(std::size_t stick, bool new_step);
  void draw();
  void draw_one();
  void draw_all();
  void put_line(const std::string &text);

  Terminal &terminal_;
  Now now_;
  bool screen_;
  std::mutex mutex_;
  std::vector<Stick> sticks_;
  std::size_t drawn_ = 0;    ///< one stick: length of its line on the screen
  bool block_drawn_ = false; ///< several sticks: their lines are shown
};

} // namespace corvantix
