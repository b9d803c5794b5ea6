#include "app/terminal_runs.h"

#include "platform/stop_requests.h"
#include "strings/res.h"
#include "ui/toolkit.h"

#include <thread>

namespace corvantix {
namespace {

// The pipeline's own message (a drive that is not ready) as a line about
// its stick.
class TerminalToolkit : public Toolkit {
public:
  TerminalToolkit(TerminalProgress &progress, std::size_t stick)
      : progress_(progress), stick_(stick) {}
  void enable_visual_styles() override {}
  Answer message_box(const std::string &text, const std::string &,
                     Buttons buttons) override {
    progress_.line(stick_, text);
    return buttons == Buttons::YesNo ? Answer::Yes : Answer::Ok;
  }

private:
  TerminalProgress &progress_;
  std::size_t stick_;
};

// Before the stick changes a request stops the run; after, the first only
// says that the run goes on, and the second ends the program where it is.
// With several sticks each line names its stick.
RunControl stop_control(platform::StopRequests &stops,
                        TerminalProgress &progress, std::size_t stick,
                        const std::string &prefix, std::size_t &slot) {
  RunControl control;
  control.stop_requested = [&stops] { return stops.count() > 0; };
  control.changing = [&stops, prefix, &slot](const std::string &folder) {
    auto line = [&prefix](const std::string &text) {
      return terminal_message(prefix + text);
    };
    if (folder.empty())
      slot = stops.arm(line(Res::get("RUN_STOP_FINISHING_NO_BACKUP")),
                       line(Res::get("RUN_STOP_NOW_NO_BACKUP")));
    else
      slot = stops.arm(line(Res::format("RUN_STOP_FINISHING", folder)),
                       line(Res::format("RUN_STOP_NOW", folder)));
  };
  control.bytes_done = [&progress, stick](std::uint64_t bytes) {
    progress.bytes(stick, bytes);
  };
  return control;
}

void run_one(StickRun &run, std::size_t stick, const std::string &prefix,
             TerminalProgress &progress, platform::StopRequests &stops) {
  TerminalToolkit toolkit(progress, stick);
  std::size_t slot = platform::StopRequests::kSlots;
  run.process.toolkit(&toolkit);
  run.process.control(stop_control(stops, progress, stick, prefix, slot));
  try {
    run.process.process(
        run.disk, [&progress, stick](double fraction, const std::string &step) {
          progress.step(stick, fraction, step);
        });
  } catch (const Stopped &) {
    run.failure = std::current_exception();
    run.stopped = true;
  } catch (...) {
    run.failure = std::current_exception();
  }
  // An ended run is no longer named when the program is stopped.
  stops.disarm(slot);
  run.process.control({});
  run.process.toolkit(nullptr);
}

} // namespace

void run_sticks(std::vector<StickRun> &runs, TerminalProgress &progress,
                platform::StopRequests &stops) {
  // Every worker started is joined, even when a later one cannot start.
  struct Workers : std::vector<std::thread> {
    ~Workers() {
      for (std::thread &worker : *this)
        worker.join();
    }
  } workers;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    std::string prefix = runs.size() > 1 ? runs[i].name + ": " : std::string();
    workers.emplace_back(run_one, std::ref(runs[i]), i, prefix,
                         std::ref(progress), std::ref(stops));
  }
}

} // namespace corvantix
