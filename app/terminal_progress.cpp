#include "app/terminal_progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace corvantix {
namespace {

constexpr int kBarWidth = 20;
// Before this much time has passed between two samples, a rate says more
// about the moment than about the copy.
constexpr std::chrono::seconds kRateMinimum{1};

int percent_of(double fraction) {
  double clamped = std::isnan(fraction) ? 0 : std::clamp(fraction, 0.0, 1.0);
  return int(std::lround(clamped * 100));
}

} // namespace

std::string bytes_text(std::uint64_t bytes) {
  static constexpr const char *kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  if (bytes < 1024)
    return std::to_string(bytes) + " B";
  double value = double(bytes) / 1024;
  std::size_t unit = 0;
  // 1023.96 MiB would round to "1024.0 MiB": the next unit reads better.
  while (value >= 1023.95 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

TerminalProgress::TerminalProgress(Terminal &terminal,
                                   std::vector<std::string> names, Now now)
    : terminal_(terminal), now_(std::move(now)),
      screen_(terminal.error_is_terminal()) {
  sticks_.resize(names.size());
  for (std::size_t i = 0; i < names.size(); ++i)
    sticks_[i].name = std::move(names[i]);
}

void TerminalProgress::step(std::size_t stick, double fraction,
                            const std::string &text) {
  std::lock_guard guard(mutex_);
  Stick &s = sticks_[stick];
  // A run's first report begins its first step, at 1/N of the run; every
  // later step begins on a whole step k/N, and reports inside a step lie
  // between, so a step with the text of the one before (two folders
  // copied one after the other) is still a step of its own.
  if (!s.begun)
    s.steps = fraction > 0 ? std::round(1 / fraction) : 1;
  double whole = fraction * s.steps;
  bool new_step = !s.begun || text != s.text ||
                  std::abs(whole - std::round(whole)) < 1e-6;
  s.begun = true;
  s.text = text;
  s.fraction = fraction;
  update(stick, new_step);
}

void TerminalProgress::bytes(std::size_t stick, std::uint64_t bytes) {
  std::lock_guard guard(mutex_);
  Stick &s = sticks_[stick];
  Clock::time_point at = now_();
  s.samples.push_back({at, bytes});
  // The newest sample older than the window stays as the rate's base.
  while (s.samples.size() > 2 && s.samples[1].at <= at - kRateWindow)
    s.samples.pop_front();
  if (s.begun)
    update(stick, false);
}

void TerminalProgress::line(std::size_t stick, const std::string &text) {
  std::lock_guard guard(mutex_);
  put_line(terminal_message(prefix(stick) + text));
}

void TerminalProgress::line(const std::string &text) {
  std::lock_guard guard(mutex_);
  put_line(terminal_message(text));
}

void TerminalProgress::end() {
  std::lock_guard guard(mutex_);
  if (!screen_)
    return;
  if (sticks_.size() == 1) {
    if (drawn_)
      terminal_.write_error("\n");
    drawn_ = 0;
    return;
  }
  if (block_drawn_)
    draw_all();
  block_drawn_ = false;
}

std::string TerminalProgress::prefix(std::size_t stick) const {
  return sticks_.size() > 1 ? sticks_[stick].name + ": " : std::string();
}

// "[####      ]  45% Copying files... (12.3 MiB, 4.5 MiB/s)"; plain lines
// have the percentage after the text and no bar.
std::string TerminalProgress::status(const Stick &stick, bool bar) const {
  int percent = percent_of(stick.fraction);
  std::string number = std::to_string(percent);
  std::string text;
  if (bar) {
    int filled = percent * kBarWidth / 100;
    text = "[" + std::string(filled, '#') +
           std::string(kBarWidth - filled, ' ') + "] " +
           std::string(3 - number.size(), ' ') + number + "% " + stick.text;
  } else {
    text = stick.text + " " + number + "%";
  }
  if (stick.samples.empty())
    return text;
  text += " (" + bytes_text(stick.samples.back().bytes);
  if (std::optional<double> per_second = rate(stick))
    text += ", " + bytes_text(std::uint64_t(*per_second)) + "/s";
  return text + ")";
}

std::optional<double> TerminalProgress::rate(const Stick &stick) const {
  const Sample &first = stick.samples.front(), &last = stick.samples.back();
  auto span = last.at - first.at;
  if (span < kRateMinimum || last.bytes < first.bytes)
    return std::nullopt;
  return double(last.bytes - first.bytes) /
         std::chrono::duration<double>(span).count();
}

void TerminalProgress::update(std::size_t stick, bool new_step) {
  Stick &s = sticks_[stick];
  Clock::time_point at = now_();
  if (!screen_) {
    if (new_step)
      terminal_.write_error(prefix(stick) + s.text + "\n");
    else if (at - s.said >= kPlainEvery)
      terminal_.write_error(prefix(stick) + status(s, false) + "\n");
    else
      return;
  } else {
    if (!new_step && at - s.said < kRedrawEvery)
      return;
    draw();
  }
  s.said = at;
}

void TerminalProgress::draw() {
  if (sticks_.size() == 1)
    draw_one();
  else
    draw_all();
}

void TerminalProgress::draw_one() {
  std::string line = status(sticks_[0], true);
  // What is left of a longer line before is blanked.
  std::size_t shown = line.size();
  if (shown < drawn_)
    line += std::string(drawn_ - shown, ' ');
  drawn_ = shown;
  terminal_.write_error("\r" + line);
}

// The sticks' lines, over those drawn before: the cursor goes up to the
// first, and each line is cleared to its end.
void TerminalProgress::draw_all() {
  std::string out;
  if (block_drawn_)
    out += "\x1b[" + std::to_string(sticks_.size()) + "A";
  for (std::size_t i = 0; i < sticks_.size(); ++i)
    out += "\r" + prefix(i) + status(sticks_[i], true) + "\x1b[K\n";
  block_drawn_ = true;
  terminal_.write_error(out);
}

void TerminalProgress::put_line(const std::string &text) {
  if (!screen_)
    return terminal_.write_error(text + "\n");
  if (sticks_.size() == 1) {
    if (drawn_)
      terminal_.write_error("\n");
    drawn_ = 0;
    return terminal_.write_error(text + "\n");
  }
  if (!block_drawn_)
    return terminal_.write_error(text + "\n");
  // The line takes the place of the first stick's, and the sticks' lines
  // follow below it.
  terminal_.write_error("\x1b[" + std::to_string(sticks_.size()) + "A\r" +
                        text + "\x1b[K\n");
  block_drawn_ = false;
  draw_all();
}

} // namespace corvantix
