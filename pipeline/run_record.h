// The record of a run under way, kept in the user's state folder: which
// stick, with which options, where its files were saved and how far the
// run got. It is on the medium before the stick first changes, so that the
// next start can finish a run that a crash, a sleep or a kill cut off, and
// it goes when nothing is left to do.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvantix {

class UsbDisk;

namespace platform {
class FileLock;
}

/// How far a run got. Every step after Backup has changed the stick.
enum class RunStep { Backup, Format, FreeDos, Restore, Restored, Copy };

struct RunRecord {
  /// The stick as the user chose it (a drive letter's root, or the path
  /// of an image or block device) and what tells it again.
  std::string target;
  std::string device_id;
  std::string pnp_id;
  std::string model;
  std::uint64_t size = 0;

  bool backup = false;
  bool format = false;
  bool fdos = false;
  std::vector<std::string> copy_directories;
  /// The folder that holds the stick's files; empty without backup.
  std::string backup_folder;

  RunStep step = RunStep::Backup;
  std::int64_t started = 0; ///< seconds since 1970, UTC

  /// Whether the stick may have changed: the run got past its backup.
  bool stick_changed() const { return step != RunStep::Backup; }
  /// Whether the backup is still needed to put the stick's files back.
  bool files_in_backup() const {
    return !backup_folder.empty() && step < RunStep::Restored;
  }
  /// Whether this run was on `disk`, chosen as `target`.
  bool same_stick(const UsbDisk &disk, const std::string &target) const;

  /// The record as the file keeps it, and back; nullopt for a file that
  /// is not a record of this program.
  std::string text() const;
  static std::optional<RunRecord> parse(const std::string &text);
};

/// A record on file, with the lock that says no living run holds it.
struct StoredRun {
  RunRecord record;
  std::string file;
  std::shared_ptr<platform::FileLock> lock;
};

/// The record of the current run: saved when the run begins, saved again
/// at every step and removed when the run ends with nothing left to do.
/// Failures throw FileError.
class RunJournal {
public:
  /// Saves a new record, locked for as long as the journal lives.
  explicit RunJournal(RunRecord record);
  /// Takes over a run that was cut off, to finish it.
  explicit RunJournal(StoredRun run);
  ~RunJournal();
  RunJournal(const RunJournal &) = delete;
  RunJournal &operator=(const RunJournal &) = delete;

  const RunRecord &record() const { return run_.record; }
  /// Records that the run has reached `step`, on the medium on return.
  void reach(RunStep step);
  /// Records another backup folder, before it is made.
  void move_backup(const std::string &folder);
  /// Removes the record: nothing is left to do.
  void finish();

private:
  void save();

  StoredRun run_;
  bool finished_ = false;
};

/// The records of runs that were cut off: those whose lock no running
/// instance holds. Each comes with that lock, so that only one instance
/// finishes it. Files that are no record are left alone.
std::vector<StoredRun> unfinished_runs();

/// Removes a record that was cut off, and the backup folder of a run cut
/// off before the stick changed, which holds nothing that is not still on
/// the stick.
void drop_unfinished_run(const StoredRun &run);

/// A stick the program sees, as the user would choose it.
struct SeenStick {
  std::shared_ptr<UsbDisk> disk;
  std::string target; ///< as a run's record names it
};

/// A run that was cut off on a stick that is here, and can be finished.
struct FinishableRun {
  StoredRun run;
  std::shared_ptr<UsbDisk> disk;
};

/// The runs that were cut off, looked over at a start: those cut off
/// before the stick changed are dropped silently, those whose backup
/// folder is gone are dropped with a notice, those on a stick that is not
/// here each get a notice that names them; the rest can be finished. A
/// state folder that cannot be read gives what was found until then: the
/// run that needs it says why.
struct UnfinishedRuns {
  std::vector<FinishableRun> finishable;
  std::vector<std::string> notices;
};
UnfinishedRuns review_unfinished_runs(const std::vector<SeenStick> &sticks);

/// The localized words for a record: the stick, the moment and the step.
std::string run_stick_text(const RunRecord &record);
std::string run_time_text(const RunRecord &record);
std::string run_step_text(const RunRecord &record);

} // namespace corvantix
