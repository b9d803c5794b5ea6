// The time that one scan of the disk inventory may take. A hung inventory
// (a WMI provider that never answers) would otherwise hold the window
// thread, which scans, for good.
#pragma once

#include "strings/error.h"

#include <chrono>
#include <cstdint>
#include <functional>

namespace corvantix {

/// The inventory did not answer within the scan's time; the message says
/// so in the user's words (USB_ERR_SCAN_TIMEOUT).
class InventoryTimeout : public Error {
public:
  using Error::Error;
};

class ScanDeadline {
public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  /// The time of a whole scan: enough for a cold start of WMI.
  static constexpr std::chrono::seconds scan_time{15};

  /// Runs out `budget` after now; `clock` stands for the steady clock.
  explicit ScanDeadline(std::chrono::milliseconds budget = scan_time,
                        Clock clock = {});

  /// How long the next wait may last: what is left, at most `slice`.
  std::uint32_t wait_ms(std::chrono::milliseconds slice) const;
  /// Throws InventoryTimeout once the time has run out.
  void check() const;

private:
  std::chrono::steady_clock::time_point now() const;

  Clock clock_;
  std::chrono::milliseconds budget_;
  std::chrono::steady_clock::time_point end_;
};

/// What one wait for the next object of an enumeration gave.
enum class NextObject { got, end, timed_out };

/// Takes the objects of one enumeration: `next(ms)` waits at most `ms`
/// milliseconds for one and says what came. The waits are short slices of
/// what is left, so that the deadline holds however the inventory answers;
/// InventoryTimeout ends the enumeration once it has passed.
void enumerate_within(const ScanDeadline &deadline,
                      const std::function<NextObject(std::uint32_t ms)> &next);

} // namespace corvantix
