// Console control events as stop requests. The system calls the handler
// on a thread of its own, so it may write and end the process itself.
// Closing the console gives a process a few seconds only: then the run
// ends as a kill would end it, and its record lets the next start finish.
#include "platform/stop_requests.h"

#include "platform/terminal.h"

#include <windows.h>

#include <atomic>
#include <mutex>

namespace corvantix::platform {
namespace {

std::atomic<int> requests{0};
std::atomic<bool> armed{false};
std::mutex lines_mutex;
std::string going_on_line;
std::string stopping_line;

BOOL WINAPI on_control(DWORD event) {
  switch (event) {
  case CTRL_C_EVENT:
  case CTRL_BREAK_EVENT:
  case CTRL_CLOSE_EVENT:
  case CTRL_LOGOFF_EVENT:
  case CTRL_SHUTDOWN_EVENT:
    break;
  default:
    return FALSE;
  }
  int seen = ++requests;
  if (!armed)
    return TRUE;
  std::lock_guard lock(lines_mutex);
  if (seen == 1) {
    write_error(going_on_line);
    return TRUE;
  }
  write_error(stopping_line);
  ExitProcess(130);
}

} // namespace

StopRequests::StopRequests() {
  requests = 0;
  armed = false;
  SetConsoleCtrlHandler(on_control, TRUE);
}

StopRequests::~StopRequests() {
  SetConsoleCtrlHandler(on_control, FALSE);
  armed = false;
}

int StopRequests::count() const { return requests; }

void StopRequests::arm(const std::string &going_on, const std::string &stopping) {
  {
    std::lock_guard lock(lines_mutex);
    going_on_line = "\n" + going_on + "\n";
    stopping_line = "\n" + stopping + "\n";
  }
  armed = true;
  if (requests > 0)
    write_error(going_on_line);
}

} // namespace corvantix::platform
