// Console control events as stop requests. The system calls the handler
// on a thread of its own, so it may take a lock, write and end the process
// itself. Closing the console gives a process a few seconds only: then the
// runs end as a kill would end them, and their records let the next start
// finish them.
#include "platform/stop_requests.h"

#include "platform/terminal.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <mutex>

namespace corvantix::platform {
namespace {

struct Slot {
  bool armed = false;
  std::string going_on;
  std::string stopping;
};

std::atomic<int> requests{0};
std::mutex slots_mutex;
std::array<Slot, StopRequests::kSlots> slots;
std::size_t slots_used = 0;

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
  std::lock_guard lock(slots_mutex);
  bool any = false;
  for (const Slot &slot : slots)
    if (slot.armed) {
      any = true;
      write_error(seen == 1 ? slot.going_on : slot.stopping);
    }
  if (any && seen > 1)
    ExitProcess(130);
  return TRUE;
}

void disarm_all() {
  std::lock_guard lock(slots_mutex);
  slots.fill(Slot{});
  slots_used = 0;
}

} // namespace

StopRequests::StopRequests() {
  requests = 0;
  disarm_all();
  SetConsoleCtrlHandler(on_control, TRUE);
}

StopRequests::~StopRequests() {
  SetConsoleCtrlHandler(on_control, FALSE);
  disarm_all();
}

int StopRequests::count() const { return requests; }

std::size_t StopRequests::arm(const std::string &going_on,
                              const std::string &stopping) {
  std::lock_guard lock(slots_mutex);
  if (slots_used >= kSlots)
    return kSlots;
  Slot &slot = slots[slots_used];
  slot = Slot{true, "\n" + going_on + "\n", "\n" + stopping + "\n"};
  if (requests > 0)
    write_error(slot.going_on);
  return slots_used++;
}

void StopRequests::disarm(std::size_t slot) {
  std::lock_guard lock(slots_mutex);
  if (slot < kSlots)
    slots[slot].armed = false;
}

} // namespace corvantix::platform
