#include "device/scan_deadline.h"

#include "strings/res.h"

#include <algorithm>

namespace corvantix {
namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

// One wait of an enumeration: short enough that the deadline is seen soon
// after it passes.
constexpr milliseconds wait_slice{500};

} // namespace

ScanDeadline::ScanDeadline(milliseconds budget, Clock clock)
    : clock_(std::move(clock)), budget_(budget), end_(now() + budget) {}

std::chrono::steady_clock::time_point ScanDeadline::now() const {
  return clock_ ? clock_() : std::chrono::steady_clock::now();
}

std::uint32_t ScanDeadline::wait_ms(milliseconds slice) const {
  milliseconds left = duration_cast<milliseconds>(end_ - now());
  return std::uint32_t(std::clamp(left, milliseconds(0), slice).count());
}

void ScanDeadline::check() const {
  if (now() < end_)
    return;
  auto seconds = std::chrono::ceil<std::chrono::seconds>(budget_).count();
  throw InventoryTimeout(
      Res::format("USB_ERR_SCAN_TIMEOUT", std::uint64_t(seconds)));
}

void enumerate_within(const ScanDeadline &deadline,
                      const std::function<NextObject(std::uint32_t)> &next) {
  for (;;) {
    deadline.check();
    switch (next(deadline.wait_ms(wait_slice))) {
    case NextObject::end:
      return;
    case NextObject::got:
    case NextObject::timed_out:
      break;
    }
  }
}

} // namespace corvantix
