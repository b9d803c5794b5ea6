// Running the outside tools that the emulated machine relies on (mtools and
// dosfstools): no shell, output captured, mtools kept off the user's own
// configuration and run in a UTF-8 locale.
#pragma once

#include <string>
#include <vector>

namespace corvantix::emulation {

struct ToolResult {
  int status = -1; ///< exit status; -1 when the tool could not be started
  std::string out;
  std::string err;
  bool device_gone = false; ///< the block device worked on went away
  bool ok() const { return status == 0; }
};

/// Runs `argv[0]` (found on PATH, /usr/sbin or /sbin) with `argv` and waits
/// for it. stdin is empty, so a tool that asks a question gets no answer.
ToolResult run_tool(const std::vector<std::string> &argv);

} // namespace corvantix::emulation
