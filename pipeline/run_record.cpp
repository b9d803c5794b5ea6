#include "pipeline/run_record.h"

#include "device/usb_disk.h"
#include "pipeline/folder.h"
#include "platform/filesystem.h"
#include "platform/state.h"
#include "strings/res.h"

#include <algorithm>
#include <charconv>
#include <ctime>

namespace corvantix {
namespace {

constexpr const char kMagic[] = "corvantix-run 1";
constexpr const char kRecordSuffix[] = ".run";
constexpr const char kLockSuffix[] = ".lock";

constexpr const char *kStepNames[] = {"backup",  "format",   "freedos",
                                      "restore", "restored", "copy"};

// One value a line: line breaks and backslashes are escaped.
std::string escaped(const std::string &value) {
  std::string text;
  for (char c : value)
    text += c == '\\' ? std::string("\\\\")
            : c == '\n' ? std::string("\\n")
            : c == '\r' ? std::string("\\r")
                        : std::string(1, c);
  return text;
}

std::string unescaped(const std::string &text) {
  std::string value;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      value += text[i];
      continue;
    }
    char next = text[++i];
    value += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
  }
  return value;
}

template <typename Number> bool read_number(const std::string &text, Number &out) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

std::optional<RunStep> step_named(const std::string &name) {
  for (std::size_t i = 0; i < std::size(kStepNames); ++i)
    if (name == kStepNames[i])
      return RunStep(i);
  return std::nullopt;
}

std::string fresh_record_name() {
  static constexpr char kDigits[] = "0123456789abcdef";
  unsigned char bytes[8];
  platform::file_system().random_bytes(bytes, sizeof bytes);
  std::string name = "run-";
  for (unsigned char byte : bytes) {
    name += kDigits[byte >> 4];
    name += kDigits[byte & 15];
  }
  return name;
}

std::string lock_path_of(const std::string &record_file) {
  return record_file.substr(0, record_file.size() - (sizeof kRecordSuffix - 1)) +
         kLockSuffix;
}

} // namespace

bool RunRecord::same_stick(const UsbDisk &disk, const std::string &chosen) const {
  return pnp_id == disk.pnpID && device_id == disk.deviceID &&
         model == disk.model && size == disk.size && target == chosen;
}

std::string RunRecord::text() const {
  std::string text = std::string(kMagic) + "\n";
  auto line = [&](const char *key, const std::string &value) {
    text += std::string(key) + "=" + escaped(value) + "\n";
  };
  line("target", target);
  line("device", device_id);
  line("pnp", pnp_id);
  line("model", model);
  line("size", std::to_string(size));
  line("backup", backup ? "1" : "0");
  line("format", format ? "1" : "0");
  line("fdos", fdos ? "1" : "0");
  for (const std::string &folder : copy_directories)
    line("copy", folder);
  line("folder", backup_folder);
  line("step", kStepNames[int(step)]);
  line("started", std::to_string(started));
  return text;
}

std::optional<RunRecord> RunRecord::parse(const std::string &text) {
  RunRecord record;
  std::size_t at = text.find('\n');
  if (text.substr(0, at) != kMagic)
    return std::nullopt;
  bool stepped = false;
  while (at != std::string::npos && at + 1 < text.size()) {
    std::size_t end = text.find('\n', at + 1);
    std::string line = text.substr(at + 1, end - at - 1);
    at = end;
    std::size_t equals = line.find('=');
    if (equals == std::string::npos)
      return std::nullopt;
    std::string key = line.substr(0, equals);
    std::string value = unescaped(line.substr(equals + 1));
    bool good = true;
    if (key == "target") record.target = value;
    else if (key == "device") record.device_id = value;
    else if (key == "pnp") record.pnp_id = value;
    else if (key == "model") record.model = value;
    else if (key == "size") good = read_number(value, record.size);
    else if (key == "backup") record.backup = value == "1";
    else if (key == "format") record.format = value == "1";
    else if (key == "fdos") record.fdos = value == "1";
    else if (key == "copy") record.copy_directories.push_back(value);
    else if (key == "folder") record.backup_folder = value;
    else if (key == "started") good = read_number(value, record.started);
    else if (key == "step") {
      auto step = step_named(value);
      good = stepped = step.has_value();
      if (step)
        record.step = *step;
    }
    // Keys of later versions are passed over.
    if (!good)
      return std::nullopt;
  }
  if (!stepped)
    return std::nullopt;
  return record;
}

RunJournal::RunJournal(RunRecord record) {
  std::string folder = platform::state_folder();
  std::string base = platform::file_system().join(folder, fresh_record_name());
  run_.record = std::move(record);
  run_.file = base + kRecordSuffix;
  run_.lock = platform::FileLock::take(base + kLockSuffix);
  if (!run_.lock)
    throw platform::FileError(32, base + kLockSuffix); // ERROR_SHARING_VIOLATION
  run_.record.started = std::int64_t(std::time(nullptr));
  save();
}

RunJournal::RunJournal(StoredRun run) : run_(std::move(run)) {}

RunJournal::~RunJournal() = default;

void RunJournal::reach(RunStep step) {
  run_.record.step = step;
  save();
}

void RunJournal::move_backup(const std::string &folder) {
  run_.record.backup_folder = folder;
  save();
}

void RunJournal::save() {
  platform::write_file_durably(run_.file, run_.record.text());
}

// The record goes before its lock: a scan that finds the lock free finds
// no record then.
void RunJournal::finish() {
  if (finished_)
    return;
  platform::remove_file(run_.file);
  finished_ = true;
  platform::remove_file(lock_path_of(run_.file));
}

// A run killed while it wrote its first record leaves a lock and the
// record's unfinished copy, and nothing to finish: they go once no one
// holds the lock.
void drop_unrecorded_runs(const std::string &folder) {
  for (const std::string &lock_file : platform::files_ending_in(folder, kLockSuffix)) {
    std::string base = lock_file.substr(0, lock_file.size() - (sizeof kLockSuffix - 1));
    if (platform::read_small_file(base + kRecordSuffix))
      continue;
    std::unique_ptr<platform::FileLock> lock = platform::FileLock::take(lock_file);
    if (!lock || platform::read_small_file(base + kRecordSuffix))
      continue;
    platform::remove_file(base + kRecordSuffix + ".new");
    platform::remove_file(lock_file);
  }
}

std::vector<StoredRun> unfinished_runs() {
  std::vector<StoredRun> runs;
  std::string folder = platform::state_folder();
  drop_unrecorded_runs(folder);
  for (const std::string &file : platform::files_ending_in(folder, kRecordSuffix)) {
    std::shared_ptr<platform::FileLock> lock =
        platform::FileLock::take(lock_path_of(file));
    if (!lock)
      continue; // a run under way
    std::optional<std::string> text = platform::read_small_file(file);
    std::optional<RunRecord> record = text ? RunRecord::parse(*text) : std::nullopt;
    if (record)
      runs.push_back({std::move(*record), file, std::move(lock)});
  }
  return runs;
}

void drop_unfinished_run(const StoredRun &run) {
  const std::string &folder = run.record.backup_folder;
  if (!run.record.stick_changed() && !folder.empty() &&
      platform::file_system().entry_name(folder))
    Folder(folder).remove();
  platform::remove_file(run.file);
  platform::remove_file(lock_path_of(run.file));
}

namespace {

// Sorts one record into the review. A record or folder that cannot be
// removed stays for the next start.
void review_run(StoredRun &run, const std::vector<SeenStick> &sticks,
                UnfinishedRuns &review) {
  const RunRecord &record = run.record;
  std::string stick = run_stick_text(record), when = run_time_text(record),
              step = run_step_text(record);
  if (!record.stick_changed())
    return drop_unfinished_run(run);
  if (record.files_in_backup() &&
      !platform::file_system().entry_name(record.backup_folder)) {
    review.notices.push_back(
        Res::format("RUN_BACKUP_GONE", stick, when, step, record.backup_folder));
    return drop_unfinished_run(run);
  }
  auto here = std::find_if(sticks.begin(), sticks.end(), [&](const SeenStick &seen) {
    return seen.disk && record.same_stick(*seen.disk, seen.target);
  });
  if (here != sticks.end()) {
    review.finishable.push_back({std::move(run), here->disk});
    return;
  }
  std::string notice = Res::format("RUN_ABSENT", stick, when, step);
  if (record.files_in_backup())
    notice += " " + Res::format("RUN_FILES_AT", record.backup_folder);
  review.notices.push_back(notice + " " + Res::get("RUN_ABSENT_FINISH"));
}

} // namespace

UnfinishedRuns review_unfinished_runs(const std::vector<SeenStick> &sticks) {
  UnfinishedRuns review;
  try {
    for (StoredRun &run : unfinished_runs()) {
      try {
        review_run(run, sticks, review);
      } catch (...) {
      }
    }
  } catch (...) {
  }
  return review;
}

std::string run_stick_text(const RunRecord &record) {
  return Res::format("RUN_STICK", record.target, record.model,
                     record.size >> 20);
}

std::string run_time_text(const RunRecord &record) {
  std::time_t moment = std::time_t(record.started);
  // Only the window thread or the terminal run reads records.
  const std::tm *local = std::localtime(&moment);
  char text[32] = "?";
  if (local)
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", local);
  return text;
}

std::string run_step_text(const RunRecord &record) {
  static constexpr const char *kKeys[] = {
      "RUN_STEP_BACKUP", "RUN_STEP_FORMAT",   "RUN_STEP_FREEDOS",
      "RUN_STEP_RESTORE", "RUN_STEP_RESTORE", "RUN_STEP_COPY"};
  return Res::get(kKeys[int(record.step)]);
}

} // namespace corvantix
