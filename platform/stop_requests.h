// Requests to stop a run on a terminal: SIGINT, SIGTERM and SIGHUP on
// Linux; Ctrl-C, Ctrl-Break and closing the console on Windows. Before the
// stick changes, the run asks count() at safe points and stops itself.
// Once the stick is changing it is armed: the first request only writes a
// line saying the run goes on, and the next one writes another line and
// ends the process at once with exit code 130, as a kill would, which the
// run's record and the stick's crash-safe writes allow.
#pragma once

#include <string>

namespace corvantix::platform {

class StopRequests {
public:
  /// Catches the requests while the object lives; one at a time.
  StopRequests();
  ~StopRequests();
  StopRequests(const StopRequests &) = delete;
  StopRequests &operator=(const StopRequests &) = delete;

  /// The requests so far.
  int count() const;
  /// From now on a first request writes `going_on` and a second one writes
  /// `stopping` and ends the process with 130 (both lines to standard
  /// error). A request that came before is answered with `going_on` now.
  void arm(const std::string &going_on, const std::string &stopping);
};

} // namespace corvantix::platform
