// One preparation of a stick from its first step to its last, as
// Process runs it: the plan of its steps and the run through them.
#pragma once

#include "pipeline/folder.h"
#include "pipeline/process.h"
#include "pipeline/run_record.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvantix {

class Toolkit;
class UsbDisk;

// What one run does: from the options, or from the record of a run that
// was cut off.
struct Plan {
  bool backup = false;  ///< the stick's files are saved first
  bool format = false;
  bool fdos = false;
  bool restore = false; ///< the saved files are put back
  std::vector<std::string> copies;

  double steps() const {
    return (backup ? 1 : 0) + (format ? 1 : 0) + (fdos ? 1 : 0) +
           (restore ? 1 : 0) + double(copies.size()) + 1;
  }
};

// One preparation from its first step to its last. The record of the run
// is kept at every step, before the stick changes, so that the next start
// can finish what was cut off.
class Preparation {
public:
  Preparation(Plan plan, UsbDisk &disk, const ProgressCallback &report,
              Toolkit *toolkit, const RunControl &control)
      : plan_(std::move(plan)), disk_(disk), report_(report),
        toolkit_(toolkit), control_(control), steps_(plan_.steps()) {}

  void start(RunRecord record);
  void make_backup_folder();
  void resume(StoredRun run);
  void run();

private:
  void backup();
  void change();
  void format();
  void format_locked();
  void freedos();
  void restore();
  void drop_restored_backup();
  void copy_folders();

  void begin(const std::string &text) {
    text_ = text;
    shown_ = ++step_ / steps_;
    report_(shown_, text);
  }
  void within(double done, double total);
  /// A copy's progress: counts its bytes into the run and into the step.
  platform::CopyProgress counting(std::uint64_t &done, std::uint64_t total,
                                  bool stoppable = false);
  void reach(RunStep step) { journal_->reach(step); }
  void stop_if_asked();
  // Nothing was changed on the stick: its backup and record go. Where the
  // backup cannot be removed, the returned note names it.
  std::string discard();

  Plan plan_;
  UsbDisk &disk_;
  const ProgressCallback &report_;
  Toolkit *toolkit_;
  const RunControl &control_;
  double steps_;
  int step_ = 0;
  std::string text_;          ///< of the step under way
  double shown_ = 0;          ///< the fraction reported last
  std::uint64_t moved_ = 0;   ///< bytes copied and read back in this run
  bool resumed_ = false; ///< an earlier run changed the stick already
  RunStep resumed_at_ = RunStep::Backup;
  std::unique_ptr<RunJournal> journal_;
  std::optional<Folder> backup_;
  std::string note_; // tells where the backup is, once there is one
};

} // namespace corvantix
