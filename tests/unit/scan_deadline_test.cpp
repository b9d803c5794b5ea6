// The time of a disk scan: an inventory that answers slowly is waited for,
// one that never answers ends the scan at the deadline with a message.
#include "device/scan_deadline.h"
#include "strings/res.h"

#include <gtest/gtest.h>

#include <vector>

namespace corvantix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// An enumeration that answers after given waits: each entry is the time
// until the next object, or the end when none is left. The clock moves by
// what the enumeration waits.
struct SlowEnumeration {
  explicit SlowEnumeration(std::vector<std::chrono::milliseconds> answers)
      : answers(std::move(answers)) {}

  Clock::time_point now{};
  std::vector<std::chrono::milliseconds> answers;
  std::size_t given = 0;
  std::chrono::milliseconds waited{0};
  std::vector<std::uint32_t> waits;

  ScanDeadline deadline(std::chrono::milliseconds budget) {
    return ScanDeadline(budget, [this] { return now; });
  }
  NextObject next(std::uint32_t ms) {
    waits.push_back(ms);
    if (given == answers.size())
      return NextObject::end;
    std::chrono::milliseconds needed = answers[given] - waited;
    if (needed > std::chrono::milliseconds(ms)) {
      now += std::chrono::milliseconds(ms);
      waited += std::chrono::milliseconds(ms);
      return NextObject::timed_out;
    }
    now += needed;
    waited = 0ms;
    ++given;
    return NextObject::got;
  }
};

TEST(ScanDeadline, SlowAnswersWithinTheTimeAreAllTaken) {
  const struct {
    std::vector<std::chrono::milliseconds> answers;
    std::size_t waits;
  } cases[] = {
      {{}, 1},
      {{0ms, 0ms, 0ms}, 4},
      {{1200ms}, 4},          // three slices of 500 ms, then the end
      {{14000ms, 900ms}, 31}, // the first answer near the end of the time
  };
  for (const auto &c : cases) {
    SlowEnumeration slow(c.answers);
    ScanDeadline deadline = slow.deadline(15s);
    enumerate_within(deadline, [&](std::uint32_t ms) { return slow.next(ms); });
    EXPECT_EQ(slow.given, c.answers.size());
    EXPECT_EQ(slow.waits.size(), c.waits);
    for (std::uint32_t ms : slow.waits)
      EXPECT_LE(ms, 500u);
  }
}

TEST(ScanDeadline, AnInventoryThatNeverAnswersEndsTheScanAtTheDeadline) {
  Res::init_for("en-US");
  SlowEnumeration hung({0ms, 1h});
  ScanDeadline deadline = hung.deadline(15s);
  try {
    enumerate_within(deadline, [&](std::uint32_t ms) { return hung.next(ms); });
    FAIL() << "the scan outlived its deadline";
  } catch (const InventoryTimeout &e) {
    EXPECT_STREQ(e.what(), "Windows did not list its drives within 15 seconds: "
                           "its device inventory (WMI) does not answer. Try "
                           "again in a while, or restart the computer.");
  }
  EXPECT_EQ(hung.given, 1u);
  EXPECT_EQ(hung.now, Clock::time_point{} + 15s) << "waited past the deadline";
  EXPECT_EQ(hung.waits.back(), 500u);
}

} // namespace
} // namespace corvantix
