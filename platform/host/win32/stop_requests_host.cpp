// Signals as stop requests. The handler only counts, and once armed writes
// a line prepared beforehand and ends the process: write(2) and _exit(2)
// are safe in a signal handler, where nothing else here would be.
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

std::atomic<int> requests{0};
std::atomic<bool> armed{false};
char going_on_line[kLine];
char stopping_line[kLine];
struct sigaction previous[std::size(kSignals)];

void say(const char *line) {
  // A closed terminal (SIGHUP) cannot take it; the run goes on all the same.
  ssize_t ignored = ::write(STDERR_FILENO, line, std::strlen(line));
  (void)ignored;
}

void on_signal(int) {
  int seen = ++requests;
  if (!armed)
    return;
  if (seen == 1)
    return say(going_on_line);
  say(stopping_line);
  ::_exit(130);
}

void keep(char *line, const std::string &text) {
  std::string framed = "\n" + text + "\n";
  std::size_t size = std::min(framed.size(), kLine - 1);
  std::memcpy(line, framed.data(), size);
  line[size] = '\0';
}

} // namespace

StopRequests::StopRequests() {
  requests = 0;
  armed = false;
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
  armed = false;
}

int StopRequests::count() const { return requests; }

void StopRequests::arm(const std::string &going_on, const std::string &stopping) {
  keep(going_on_line, going_on);
  keep(stopping_line, stopping);
  armed = true;
  if (requests > 0)
    say(going_on_line);
}

} // namespace corvantix::platform
