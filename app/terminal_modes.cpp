#include "app/terminal_modes.h"

#include "app/run_modes.h"
#include "device/usb_disk.h"
#include "platform/filesystem.h"
#include "platform/stop_requests.h"
#include "platform/terminal.h"
#include "strings/error.h"
#include "strings/res.h"
#include "ui/toolkit.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace corvantix {
namespace {

constexpr int kBarWidth = 20;
// A run that a signal ended, as shells report a process ended by SIGINT.
constexpr int kStoppedExit = 130;

// The steps of a run on standard error: plain lines, or one line that a
// terminal redraws as a bar.
class Progress {
public:
  explicit Progress(Terminal &terminal)
      : terminal_(terminal), bar_(terminal.error_is_terminal()) {}

  // Reports come at every file inside a step: a line is written when a
  // step begins, and the bar is drawn again when its figure moves.
  void step(double fraction, const std::string &text) {
    bool begins = text != text_;
    text_ = text;
    if (!bar_) {
      if (begins)
        terminal_.write_error(text + "\n");
      return;
    }
    double clamped = std::isnan(fraction) ? 0 : std::clamp(fraction, 0.0, 1.0);
    int percent = int(std::lround(clamped * 100));
    if (!begins && percent == percent_)
      return;
    percent_ = percent;
    int filled = percent * kBarWidth / 100;
    std::string number = std::to_string(percent);
    std::string line = "[" + std::string(filled, '#') +
                       std::string(kBarWidth - filled, ' ') + "] " +
                       std::string(3 - number.size(), ' ') + number + "% " +
                       text;
    // What is left of a longer line before is blanked.
    std::size_t shown = line.size();
    if (shown < drawn_)
      line += std::string(drawn_ - shown, ' ');
    drawn_ = shown;
    terminal_.write_error("\r" + line);
  }

  /// A line of its own, after the bar's line.
  void line(const std::string &text) {
    end();
    terminal_.write_error(text + "\n");
  }

  /// Ends the bar's line.
  void end() {
    if (bar_ && drawn_)
      terminal_.write_error("\n");
    drawn_ = 0;
  }

private:
  Terminal &terminal_;
  bool bar_;
  std::size_t drawn_ = 0; ///< length of the bar's line on the screen
  std::string text_;      ///< of the step under way
  int percent_ = -1;      ///< drawn last
};

// The pipeline's own message (a drive that is not ready) as a line.
class TerminalToolkit : public Toolkit {
public:
  explicit TerminalToolkit(Progress &progress) : progress_(progress) {}
  void enable_visual_styles() override {}
  Answer message_box(const std::string &text, const std::string &,
                     Buttons buttons) override {
    progress_.line(text);
    return buttons == Buttons::YesNo ? Answer::Yes : Answer::Ok;
  }

private:
  Progress &progress_;
};

// The outcome in the window's words: its message box's text.
std::string outcome_text(std::exception_ptr failure) {
  if (!failure) {
    try {
      return Res::get("MSG_FORMAT_SUCCESS");
    } catch (...) {
      failure = std::current_exception();
    }
  }
  try {
    return Res::format("MSG_FORMAT_FAIL", message_of(failure));
  } catch (...) {
    return message_of(failure);
  }
}

// An argument as a shell reads it back.
std::string shell_word(const std::string &arg) {
  bool plain = !arg.empty() && std::all_of(arg.begin(), arg.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) ||
           std::string_view("_-./:=@%+,").find(c) != std::string_view::npos;
  });
  if (plain)
    return arg;
  std::string quoted = "'";
  for (char c : arg)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The command that starts this run again, with administrator rights.
std::string command_line(const std::vector<std::string> &args) {
  std::string command = "sudo corvantix";
  for (const std::string &arg : args)
    command += " " + shell_word(arg);
  return command;
}

// The stick as a run's record names it: a drive letter's root, or the
// full path of an image or block device.
std::string chosen_target(const std::string &target, const UsbDisk &disk) {
  bool letter = !target.empty() && target.size() <= 3 &&
                std::isalpha(static_cast<unsigned char>(target[0])) &&
                (target.size() == 1 || target[1] == ':');
  return letter ? disk.path : platform::file_system().full_path(target);
}

// Runs cut off before: notices for other sticks, and the one on this
// stick, which this run finishes instead of starting anew.
void take_up_unfinished_runs(Process &process, const UsbDiskPtr &disk,
                             const std::string &chosen, Progress &progress) {
  UnfinishedRuns review;
  try {
    review = review_unfinished_runs({{disk, chosen}});
  } catch (...) {
    // The run itself says it when it cannot keep its record.
    return;
  }
  for (const std::string &notice : review.notices)
    progress.line(notice);
  if (review.finishable.empty())
    return;
  StoredRun &run = review.finishable.front().run;
  std::string line = Res::format("RUN_FINISHING", run_stick_text(run.record),
                                 run_time_text(run.record),
                                 run_step_text(run.record));
  if (run.record.files_in_backup())
    line += " " + Res::format("RUN_FILES_AT", run.record.backup_folder);
  progress.line(line);
  process.finish_next(std::move(run));
}

// Before the stick changes a request stops the run; after, the first only
// says that the run goes on, and the second ends it where it is.
RunControl stop_control(platform::StopRequests &stops) {
  RunControl control;
  control.stop_requested = [&stops] { return stops.count() > 0; };
  control.changing = [&stops](const std::string &folder) {
    if (folder.empty())
      stops.arm(Res::get("RUN_STOP_FINISHING_NO_BACKUP"),
                Res::get("RUN_STOP_NOW_NO_BACKUP"));
    else
      stops.arm(Res::format("RUN_STOP_FINISHING", folder),
                Res::format("RUN_STOP_NOW", folder));
  };
  return control;
}

bool said_yes(std::string answer) {
  auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  answer.erase(std::find_if_not(answer.rbegin(), answer.rend(), blank).base(),
               answer.end());
  answer.erase(answer.begin(),
               std::find_if_not(answer.begin(), answer.end(), blank));
  for (char &c : answer)
    c = char(std::tolower(static_cast<unsigned char>(c)));
  return answer == "y" || answer == "yes";
}

} // namespace

int print_help(const StartupValues &values, Terminal &terminal) {
  if (values.version) {
    // CORVANTIX_VERSION: the project's version, from CMakeLists.txt.
    terminal.write_output(std::string("Corvantix ") + CORVANTIX_VERSION + "\n");
    return 0;
  }
  std::string text;
  for (const std::string &line : usage_lines())
    text += line + "\n";
  terminal.write_output(text);
  return 0;
}

int run_on_terminal(const StartupValues &values, Process &process,
                    Terminal &terminal, const std::vector<std::string> &args) {
  auto say = [&](const std::string &line) { terminal.write_error(line + "\n"); };
  if (values.target.empty()) {
    say(Res::get("ARGS_YES_NO_TARGET"));
    return 1;
  }
  // Nothing is looked at, let alone made, without a way to ask.
  if (!values.yes && !terminal.input_is_terminal()) {
    say(Res::format("ARGS_YES_NO_TERMINAL", values.target));
    return 1;
  }

  platform::RunTarget target;
  try {
    target = platform::find_run_target(values.target, values.new_size);
  } catch (...) {
    say(message_of(std::current_exception()));
    return 1;
  }
  if (!target.disk) {
    std::string text = target.refusal;
    if (target.needs_rights)
      text += " " + Res::format("ARGS_YES_START", command_line(args));
    say(text);
    return 1;
  }
  const UsbDiskPtr &disk = target.disk;

  if (!values.yes) {
    terminal.write_error(Res::format("ARGS_YES_ASK", values.target, disk->model,
                                     disk->size >> 20) +
                         " ");
    std::optional<std::string> answer = terminal.read_line();
    if (!answer)
      terminal.write_error("\n");
    if (!answer || !said_yes(*answer)) {
      if (target.undo)
        target.undo();
      say(Res::get("ARGS_YES_DECLINED"));
      return 1;
    }
  }

  // A new image holds nothing to back up.
  if (target.new_image)
    process.backup(false);
  Progress progress(terminal);
  std::string chosen = chosen_target(values.target, *disk);
  process.target_name(chosen);
  take_up_unfinished_runs(process, disk, chosen, progress);
  TerminalToolkit toolkit(progress);
  process.toolkit(&toolkit);
  platform::StopRequests stops;
  process.control(stop_control(stops));
  std::exception_ptr failure;
  bool stopped = false;
  try {
    process.process(disk, [&progress](double fraction, const std::string &step) {
      progress.step(fraction, step);
    });
  } catch (const Stopped &) {
    failure = std::current_exception();
    stopped = true;
  } catch (...) {
    failure = std::current_exception();
  }
  process.control({});
  process.toolkit(nullptr);
  progress.end();
  if (stopped) {
    say(message_of(failure));
    return kStoppedExit;
  }
  say(outcome_text(failure));
  if (failure)
    return 1;
  if (!values.no_drive_text) {
    try {
      write_result_file(disk->letter);
    } catch (...) {
      say(message_of(std::current_exception()));
      return 1;
    }
  }
  return 0;
}

} // namespace corvantix
