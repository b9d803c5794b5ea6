// The runs of an unattended preparation, one worker thread per stick, each
// with its own copy of the options, its own record, backup folder and
// read-back. What one run meets (a failure, a stop) stays its own.
#pragma once

#include "app/terminal_progress.h"
#include "pipeline/process.h"

#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace corvantix {

namespace platform {
class StopRequests;
}

struct StickRun {
  std::string name; ///< the target as given
  std::shared_ptr<UsbDisk> disk;
  Process process;            ///< this run's options and per-run state
  std::string chosen;         ///< the stick as the run's record names it
  std::exception_ptr failure; ///< null when the stick was prepared
  bool stopped = false;       ///< a stop request ended it
};

/// Prepares every stick at once and returns when all runs have ended.
/// Steps, bytes and messages go to `progress` (stick i is runs[i]);
/// `stops` stops the runs whose stick has not changed yet, and speaks for
/// those that are changing.
void run_sticks(std::vector<StickRun> &runs, TerminalProgress &progress,
                platform::StopRequests &stops);

} // namespace corvantix
