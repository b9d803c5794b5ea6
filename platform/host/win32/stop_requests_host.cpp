// Signals as stop requests. The handler only counts, and once a slot is
// armed writes lines prepared beforehand and ends the process: write(2)
// and _exit(2) are safe in a signal handler, where nothing else here
// would be. A slot is filled before it is marked armed and never reused
// while the object lives, so the handler never reads a line being written.
#include "platform/stop_requests.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace corvantix::platform {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr std::size_t kLine = 1024;

struct Slot {
  std::atomic<bool> armed{false};
  char going_on[kLine];
  char stopping[kLine];
};

std::atomic<int> requests{0};
std::atomic<std::size_t> slots_used{0};
Slot slots[StopRequests::kSlots];
struct sigaction previous[std::size(kSignals)];

void say(const char *line) {
  // A closed terminal (SIGHUP) cannot take it; the run goes on all the same.
  ssize_t ignored = ::write(STDERR_FILENO, line, std::strlen(line));
  (void)ignored;
}

// Writes the chosen line of every armed slot; false when none is armed.
bool say_armed(bool stopping) {
  bool any = false;
  std::size_t used = std::min(slots_used.load(), StopRequests::kSlots);
  for (std::size_t i = 0; i < used; ++i)
    if (slots[i].armed) {
      any = true;
      say(stopping ? slots[i].stopping : slots[i].going_on);
    }
  return any;
}

void on_signal(int) {
  int seen = ++requests;
  if (!say_armed(seen > 1) || seen == 1)
    return;
  ::_exit(130);
}

void keep(char *line, const std::string &text) {
  std::string framed = "\n" + text + "\n";
  std::size_t size = std::min(framed.size(), kLine - 1);
  std::memcpy(line, framed.data(), size);
  line[size] = '\0';
}

void disarm_all() {
  for (Slot &slot : slots)
    slot.armed = false;
  slots_used = 0;
}

} // namespace

StopRequests::StopRequests() {
  requests = 0;
  disarm_all();
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  // A signal ignored at the start (nohup, a background job of a script)
  // stays ignored, as the one who started the program asked.
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    ::sigaction(kSignals[i], nullptr, &previous[i]);
    if (previous[i].sa_handler != SIG_IGN)
      ::sigaction(kSignals[i], &action, nullptr);
  }
}

StopRequests::~StopRequests() {
  for (std::size_t i = 0; i < std::size(kSignals); ++i)
    ::sigaction(kSignals[i], &previous[i], nullptr);
  disarm_all();
}

int StopRequests::count() const { return requests; }

std::size_t StopRequests::arm(const std::string &going_on,
                              const std::string &stopping) {
  std::size_t index = slots_used.fetch_add(1);
  if (index >= kSlots)
    return kSlots;
  Slot &slot = slots[index];
  keep(slot.going_on, going_on);
  keep(slot.stopping, stopping);
  slot.armed = true;
  if (requests > 0)
    say(slot.going_on);
  return index;
}

void StopRequests::disarm(std::size_t slot) {
  if (slot < kSlots)
    slots[slot].armed = false;
}

} // namespace corvantix::platform
