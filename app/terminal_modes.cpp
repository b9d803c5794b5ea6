#include "app/terminal_modes.h"

#include "app/run_modes.h"
#include "app/terminal_progress.h"
#include "app/terminal_runs.h"
#include "device/usb_disk.h"
#include "platform/filesystem.h"
#include "platform/stop_requests.h"
#include "platform/terminal.h"
#include "strings/error.h"
#include "strings/res.h"

#include <algorithm>
#include <cctype>

namespace corvantix {
namespace {

// A run that a signal ended, as shells report a process ended by SIGINT.
constexpr int kStoppedExit = 130;

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

// Runs cut off before: notices for other sticks, and those on these
// sticks, which their runs finish instead of starting anew.
void take_up_unfinished_runs(std::vector<StickRun> &runs,
                             TerminalProgress &progress) {
  std::vector<SeenStick> sticks;
  for (const StickRun &run : runs)
    sticks.push_back({run.disk, run.chosen});
  UnfinishedRuns review = review_unfinished_runs(sticks);
  for (const std::string &notice : review.notices)
    progress.line(notice);
  for (FinishableRun &finishable : review.finishable) {
    auto run = std::find_if(runs.begin(), runs.end(), [&](const StickRun &r) {
      return r.disk == finishable.disk;
    });
    if (run == runs.end())
      continue;
    const RunRecord &record = finishable.run.record;
    std::string line = Res::format("RUN_FINISHING", run_stick_text(record),
                                   run_time_text(record), run_step_text(record));
    if (record.files_in_backup())
      line += " " + Res::format("RUN_FILES_AT", record.backup_folder);
    progress.line(std::size_t(run - runs.begin()), line);
    run->process.finish_next(std::move(finishable.run));
  }
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


namespace {

std::string joined(const std::vector<std::string> &items,
                   const std::string &separator) {
  std::string text;
  for (const std::string &item : items)
    text += (text.empty() ? "" : separator) + item;
  return text;
}

// Every refused target as a line of its own; true when any was refused.
bool say_refusals(const std::vector<platform::RunTarget> &found,
                  const std::vector<std::string> &args, Terminal &terminal) {
  bool any = false;
  for (const platform::RunTarget &target : found) {
    if (target.refusal.empty())
      continue;
    std::string text = target.refusal;
    if (target.needs_rights)
      text += " " + Res::format("ARGS_YES_START", command_line(args));
    terminal.write_error(text + "\n");
    any = true;
  }
  return any;
}

// Asks once for all targets; true when the person said yes.
bool confirmed(const std::vector<std::string> &names,
               const std::vector<platform::RunTarget> &found,
               Terminal &terminal) {
  std::string question;
  if (found.size() == 1) {
    const UsbDisk &disk = *found[0].disk;
    question = Res::format("ARGS_YES_ASK", names[0], disk.model, disk.size >> 20);
  } else {
    std::vector<std::string> drives;
    for (std::size_t i = 0; i < found.size(); ++i)
      drives.push_back(names[i] + " (" + found[i].disk->model + ", " +
                       std::to_string(found[i].disk->size >> 20) + " MB)");
    question = Res::format("ARGS_YES_ASK_SEVERAL", found.size(),
                           joined(drives, ", "));
  }
  terminal.write_error(question + " ");
  std::optional<std::string> answer = terminal.read_line();
  if (!answer)
    terminal.write_error("\n");
  return answer && said_yes(*answer);
}

// A run per stick, each with its own copy of the options.
std::vector<StickRun> runs_of(const std::vector<std::string> &names,
                              const std::vector<platform::RunTarget> &found,
                              const Process &options) {
  std::vector<StickRun> runs;
  for (std::size_t i = 0; i < found.size(); ++i) {
    StickRun run;
    run.name = names[i];
    run.disk = found[i].disk;
    run.process = options;
    // A new image holds nothing to back up.
    if (found[i].new_image)
      run.process.backup(false);
    run.chosen = chosen_target(names[i], *found[i].disk);
    run.process.target_name(run.chosen);
    runs.push_back(std::move(run));
  }
  return runs;
}

// A result line per stick, the failed ones named when there are several,
// and drive.txt with the letters of the prepared sticks.
int report_results(const std::vector<StickRun> &runs, const StartupValues &values,
                   Terminal &terminal) {
  auto say = [&](const std::string &line) { terminal.write_error(line + "\n"); };
  const bool several = runs.size() > 1;
  bool stopped = false;
  std::vector<std::string> failed;
  std::string letters;
  for (const StickRun &run : runs) {
    std::string text =
        run.stopped ? message_of(run.failure) : outcome_text(run.failure);
    say(several ? run.name + ": " + text : text);
    stopped = stopped || run.stopped;
    if (run.failure)
      failed.push_back(run.name);
    else
      letters += run.disk->letter;
  }
  if (several && !failed.empty())
    say(Res::format("ARGS_YES_FAILED", joined(failed, ", ")));
  int code = stopped ? kStoppedExit : failed.empty() ? 0 : 1;
  if (values.no_drive_text || letters.empty())
    return code;
  try {
    write_result_letters(letters);
  } catch (...) {
    say(message_of(std::current_exception()));
    return stopped ? kStoppedExit : 1;
  }
  return code;
}

} // namespace

int run_on_terminal(const StartupValues &values, Process &process,
                    Terminal &terminal, const std::vector<std::string> &args) {
  auto say = [&](const std::string &line) { terminal.write_error(line + "\n"); };
  const std::vector<std::string> &names = values.targets;
  if (names.empty()) {
    say(Res::get("ARGS_YES_NO_TARGET"));
    return 1;
  }
  // Nothing is looked at, let alone made, without a way to ask.
  if (!values.yes && !terminal.input_is_terminal()) {
    say(Res::format("ARGS_YES_NO_TERMINAL", joined(names, " ")));
    return 1;
  }

  std::vector<platform::RunTarget> found;
  try {
    found = platform::find_run_targets(names, values.new_size);
  } catch (...) {
    say(message_of(std::current_exception()));
    return 1;
  }
  if (say_refusals(found, args, terminal))
    return 1;
  if (!values.yes && !confirmed(names, found, terminal)) {
    for (const platform::RunTarget &target : found)
      if (target.undo)
        target.undo();
    say(Res::get("ARGS_YES_DECLINED"));
    return 1;
  }

  std::vector<StickRun> runs = runs_of(names, found, process);
  TerminalProgress progress(terminal, names);
  take_up_unfinished_runs(runs, progress);
  {
    platform::StopRequests stops;
    run_sticks(runs, progress, stops);
  }
  progress.end();
  return report_results(runs, values, terminal);
}

} // namespace corvantix
