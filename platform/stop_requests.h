// Requests to stop runs on a terminal: SIGINT, SIGTERM and SIGHUP on
// Linux; Ctrl-C, Ctrl-Break and closing the console on Windows. One object
// serves every run of the program. Before its stick changes, a run asks
// count() at safe points and stops itself. Once its stick is changing a
// run arms its own slot: the first request only writes the lines of the
// armed slots saying those runs go on, and the next one writes each armed
// slot's stopping line and ends the process at once with exit code 130, as
// a kill would, which the runs' records and the sticks' crash-safe writes
// allow.
#pragma once

#include <cstddef>
#include <string>

namespace corvantix::platform {

class StopRequests {
public:
  /// At most this many runs arm during the object's life (a machine has
  /// no more drive letters).
  static constexpr std::size_t kSlots = 32;

  /// Catches the requests while the object lives; one at a time.
  StopRequests();
  ~StopRequests();
  StopRequests(const StopRequests &) = delete;
  StopRequests &operator=(const StopRequests &) = delete;

  /// The requests so far.
  int count() const;
  /// From now on a first request writes `going_on` and a second one writes
  /// `stopping` (with the other armed slots' lines, to standard error) and
  /// ends the process with 130. A request that came before is answered
  /// with `going_on` now. Returns the slot, for disarm(); kSlots when
  /// every slot was used (the run is then stopped only as a kill would).
  std::size_t arm(const std::string &going_on, const std::string &stopping);
  /// The run of `slot` has ended: its lines are no longer written.
  void disarm(std::size_t slot);
};

} // namespace corvantix::platform
