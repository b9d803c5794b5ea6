#include "app/terminal_modes.h"

#include "app/run_modes.h"
#include "app/terminal_progress.h"
#include "app/terminal_runs.h"
#include "device/usb_disk.h"
#include "platform/filesystem.h"
#include "platform/system.h"
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

constexpr std::uint32_t kDiskFull = 112;   // ERROR_DISK_FULL
constexpr std::uint32_t kNotAFolder = 267; // ERROR_DIRECTORY

// A partition table's FAT32 partition ends within 2^32 sectors of 512 bytes.
constexpr std::uint64_t kLargestUsed = std::uint64_t(1) << 41;

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

// A drive letter as a target: "E", or on Windows "E:" and "E:\".
bool is_drive_letter(const std::string &target) {
  return !target.empty() && target.size() <= 3 &&
         std::isalpha(static_cast<unsigned char>(target[0])) &&
         (target.size() == 1 || target[1] == ':');
}

// The stick as a run's record names it: a drive letter's root, or the
// full path of an image or block device.
std::string chosen_target(const std::string &target, const UsbDisk &disk) {
  return is_drive_letter(target) ? disk.path
                                 : platform::file_system().full_path(target);
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
    terminal.say(text);
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
  terminal.write_error(terminal_message(question) + " ");
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

// Why `folder` cannot be copied: the code of the system's text; 0 when
// it can. Its whole tree is listed, as the copy will list it.
std::uint32_t folder_error(const std::string &folder) {
  platform::FileSystem &files = platform::file_system();
  try {
    if (!(files.attributes(folder) & platform::kAttributeDirectory))
      return kNotAFolder;
    files.list_tree(folder);
  } catch (const platform::FileError &e) {
    return e.code();
  }
  return 0;
}

// Each copy folder that cannot be read as a line; true when any. They are
// looked at before a stick changes, since their step comes last.
bool say_unreadable_copy_folders(const std::vector<CopyFolder> &folders,
                                 Terminal &terminal) {
  bool any = false;
  for (const CopyFolder &folder : folders) {
    std::uint32_t code = folder_error(folder.path);
    if (!code)
      continue;
    std::string text = Res::format(
        "ARGS_COPY_ERR", folder.given,
        platform::file_system().full_path(folder.path),
        platform::system_message(code));
    if (folder.relative)
      text += " " + Res::format("ARGS_COPY_RELATIVE", platform::program_folder());
    terminal.say(text);
    any = true;
  }
  return any;
}

// A line for each disk that FAT32 in a partition table cannot fill.
void say_unused_parts(const std::vector<std::string> &names,
                      const std::vector<platform::RunTarget> &found,
                      Terminal &terminal) {
  for (std::size_t i = 0; i < found.size(); ++i)
    if (found[i].disk->size > kLargestUsed)
      terminal.say(Res::format("ARGS_YES_LARGEST", names[i]));
}

// drive.txt in the current folder; the line that says why it could not be
// written, or nothing.
std::optional<std::string> write_drive_txt(const std::string &letters) {
  if (std::uint32_t code = put_result_letters(letters))
    return Res::format("ARGS_YES_DRIVE_TXT", result_file_path(),
                       platform::system_message(code));
  return std::nullopt;
}

// A new image whose run failed is no stick: it goes, and with it the
// record of its run, so that no later run takes it up.
void remove_failed_image(const StickRun &run, const platform::RunTarget &target,
                         Terminal &terminal) {
  bool full = target.out_of_room && target.out_of_room();
  for (const StoredRun &stored : unfinished_runs())
    if (stored.record.target == run.chosen)
      drop_unfinished_run(stored);
  target.undo();
  std::string text = Res::format("ARGS_YES_IMAGE_REMOVED", run.name);
  if (full)
    text += " " + platform::system_message(kDiskFull);
  terminal.say(text);
}

// A result line per stick, the failed ones named when there are several,
// new images that failed removed, and drive.txt with the letters of the
// sticks prepared through their drive letter.
int report_results(const std::vector<StickRun> &runs,
                   const std::vector<platform::RunTarget> &found,
                   const StartupValues &values, Terminal &terminal) {
  const bool several = runs.size() > 1;
  bool stopped = false;
  std::vector<std::string> failed;
  std::string letters;
  for (const StickRun &run : runs) {
    std::string text =
        run.stopped ? message_of(run.failure) : outcome_text(run.failure);
    terminal.say(several ? run.name + ": " + text : text);
    stopped = stopped || run.stopped;
    if (run.failure)
      failed.push_back(run.name);
    else if (is_drive_letter(run.name))
      letters += run.disk->letter;
  }
  for (std::size_t i = 0; i < runs.size(); ++i)
    if (runs[i].failure && found[i].new_image && found[i].undo)
      remove_failed_image(runs[i], found[i], terminal);
  if (several && !failed.empty())
    terminal.say(Res::format("ARGS_YES_FAILED", joined(failed, ", ")));
  bool written = true;
  if (!values.no_drive_text && !letters.empty())
    if (std::optional<std::string> why = write_drive_txt(letters)) {
      terminal.say(*why);
      written = false;
    }
  if (stopped)
    return kStoppedExit;
  return failed.empty() && written ? 0 : 1;
}

} // namespace

int run_on_terminal(const StartupValues &values, Process &process,
                    Terminal &terminal, const std::vector<std::string> &args) {
  const std::vector<std::string> &names = values.targets;
  if (names.empty()) {
    terminal.write_error(terminal_message(Res::get("ARGS_YES_NO_TARGET")) +
                         "\n" + kTryHelp + "\n");
    return 1;
  }
  // Nothing is looked at, let alone made, without a way to ask.
  if (!values.yes && !terminal.input_is_terminal()) {
    terminal.say(Res::format("ARGS_YES_NO_TERMINAL", joined(names, " ")));
    return 1;
  }
  if (say_unreadable_copy_folders(values.copy_folders, terminal))
    return 1;

  std::vector<platform::RunTarget> found;
  try {
    found = platform::find_run_targets(names, values.new_size);
  } catch (...) {
    terminal.say(message_of(std::current_exception()));
    return 1;
  }
  if (say_refusals(found, args, terminal))
    return 1;
  say_unused_parts(names, found, terminal);
  if (!values.yes && !confirmed(names, found, terminal)) {
    for (const platform::RunTarget &target : found)
      if (target.undo)
        target.undo();
    terminal.say(Res::get("ARGS_YES_DECLINED"));
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
  return report_results(runs, found, values, terminal);
}

} // namespace corvantix
