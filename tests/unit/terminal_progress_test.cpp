// The progress of runs on the error stream: the bar of one stick, the
// lines of several redrawn together, plain lines elsewhere, and the bytes
// and rate once runs report them. The clock is the test's.
#include "app/terminal_progress.h"

#include "unit/test_terminal.h"

#include <gtest/gtest.h>

namespace corvantix {
namespace {

using namespace std::chrono_literals;
using test::terminal_lines;
using test::TestTerminal;
using Clock = TerminalProgress::Clock;

constexpr std::uint64_t kMiB = 1 << 20;

class Progress_ : public ::testing::Test {
protected:
  TerminalProgress progress(std::vector<std::string> names, bool screen) {
    terminal.error_on_screen = screen;
    return TerminalProgress(terminal, std::move(names), [this] { return now; });
  }

  /// What was written since the last call.
  std::string written() {
    std::string text = terminal.err.substr(seen_);
    seen_ = terminal.err.size();
    return text;
  }

  TestTerminal terminal;
  Clock::time_point now{};

private:
  std::size_t seen_ = 0;
};

TEST(BytesText, AsPeopleReadThem) {
  const std::pair<std::uint64_t, const char *> cases[] = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KiB"},
      {1536, "1.5 KiB"},
      {12 * kMiB + 300 * 1024, "12.3 MiB"},
      {kMiB - 1, "1.0 MiB"}, // not "1024.0 KiB"
      {5ull << 30, "5.0 GiB"},
      {3ull << 40, "3.0 TiB"},
  };
  for (auto [bytes, text] : cases)
    EXPECT_EQ(bytes_text(bytes), text) << bytes;
}

// Plain lines: a step's text once, as it always was, and between steps at
// most a progress line every five seconds.
TEST_F(Progress_, PlainLinesTellStepsAndAtMostEveryFiveSecondsTheProgress) {
  TerminalProgress p = progress({"stick.img"}, false);
  p.step(0, 0.25, "creating backup...");
  EXPECT_EQ(written(), "creating backup...\n");
  const struct {
    std::chrono::seconds at;
    std::uint64_t bytes;
    double fraction; // a report of the step again, or none (0)
    std::string line;
  } reports[] = {
      {1s, 2 * kMiB, 0.3, ""},
      {4s, 8 * kMiB, 0.35, ""},
      {5s, 10 * kMiB, 0, "creating backup... 35% (10.0 MiB, 2.0 MiB/s)\n"},
      {7s, 14 * kMiB, 0.4, ""},
      // The line tells what was reported before it.
      {10s, 20 * kMiB, 0.45,
       "creating backup... 40% (20.0 MiB, 2.0 MiB/s)\n"},
  };
  for (const auto &r : reports) {
    now = Clock::time_point(r.at);
    p.bytes(0, r.bytes);
    if (r.fraction)
      p.step(0, r.fraction, "creating backup...");
    EXPECT_EQ(written(), r.line) << r.at.count() << " s";
  }
  now += 1s;
  p.step(0, 0.5, "Formating...");
  EXPECT_EQ(written(), "Formating...\n") << "a new step is a line at once";
}

// Steps begin on whole steps of the run (its first report is 1/N): two
// folders copied one after the other are two steps under one text, and
// the reports between are progress inside them.
TEST_F(Progress_, AStepOfTheSameTextIsToldByWhereItBegins) {
  TerminalProgress p = progress({"E"}, false);
  for (double fraction : {0.2, 0.25, 0.4, 0.55, 0.6})
    p.step(0, fraction, "Copying files...");
  EXPECT_EQ(written(), "Copying files...\nCopying files...\nCopying files...\n");
}

// One stick on a terminal: the bar as it always was, with the bytes and
// the rate behind it; byte reports redraw it a few times a second only.
TEST_F(Progress_, OneStickOnATerminalIsABarWithBytesAndRate) {
  TerminalProgress p = progress({"E"}, true);
  p.step(0, 0.2, "Copying files...");
  EXPECT_EQ(written(), "\r[####                ]  20% Copying files...");
  now += 100ms;
  p.bytes(0, kMiB);
  EXPECT_EQ(written(), "") << "too soon after the last redraw";
  now += 2s;
  p.bytes(0, 9 * kMiB);
  EXPECT_EQ(written(), "\r[####                ]  20% Copying files... "
                       "(9.0 MiB, 4.0 MiB/s)");
  now += 1s;
  p.step(0, 1.0, "Done!");
  // What is left of the longer line before is blanked.
  EXPECT_EQ(written(), "\r[####################] 100% Done! (9.0 MiB, 4.0 MiB/s)" +
                           std::string(11, ' '));
  p.line(0, "A line of its own.");
  p.end();
  EXPECT_EQ(written(), "\ncorvantix: A line of its own.\n") << "nothing is left to end";
}

// Several sticks on a terminal: a line each, drawn again in place by going
// up as many lines; a line of its own takes the place above them.
TEST_F(Progress_, SeveralSticksOnATerminalAreLinesRedrawnTogether) {
  TerminalProgress p = progress({"E", "b.img"}, true);
  p.step(0, 0.25, "creating backup...");
  EXPECT_EQ(written(), "\rE: [#####               ]  25% creating backup...\x1b[K\n"
                       "\rb.img: [                    ]   0% \x1b[K\n");
  p.step(1, 0.5, "Formating...");
  EXPECT_EQ(written(), "\x1b[2A"
                       "\rE: [#####               ]  25% creating backup...\x1b[K\n"
                       "\rb.img: [##########          ]  50% Formating...\x1b[K\n");
  p.line(1, "F:\\ is not ready.");
  EXPECT_EQ(written(), "\x1b[2A\rcorvantix: b.img: F:\\ is not ready.\x1b[K\n"
                       "\rE: [#####               ]  25% creating backup...\x1b[K\n"
                       "\rb.img: [##########          ]  50% Formating...\x1b[K\n");
  p.end();
  std::string last = written();
  EXPECT_TRUE(last.starts_with("\x1b[2A")) << "drawn once more as they end";
  p.line("After the runs.");
  EXPECT_EQ(written(), "corvantix: After the runs.\n") << "below the sticks' lines";
}

// The rate is that of the last few seconds, not of the whole run.
TEST_F(Progress_, TheRateIsThatOfTheLastSeconds) {
  TerminalProgress p = progress({"E"}, false);
  p.step(0, 0.1, "restoring backup...");
  written();
  const struct {
    std::chrono::seconds at;
    std::uint64_t mib;
  } samples[] = {{0s, 0}, {1s, 50}, {2s, 100}, {10s, 101}, {11s, 102},
                 {12s, 103}, {14s, 105}, {16s, 107}};
  for (const auto &s : samples) {
    now = Clock::time_point(s.at);
    p.bytes(0, s.mib * kMiB);
  }
  // From second 10 on the stick took 1 MiB a second; the fast start is
  // out of the window.
  EXPECT_EQ(terminal_lines(written()).back(),
            "restoring backup... 10% (107.0 MiB, 1.0 MiB/s)");
}

} // namespace
} // namespace corvantix
