// The options of one preparation of a USB stick, and the run itself.
#pragma once

#include "pipeline/run_record.h"
#include "strings/error.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvantix {

class Toolkit;
class UsbDisk;

/// A progress report: the fraction of the run (0.0 to 1.0) reached when the
/// step that begins is counted as done, and that step's localized text.
using ProgressCallback =
    std::function<void(double percent, const std::string &info)>;

/// The reporting function used when the caller passes none: does nothing.
void progress_cb(double percent, const std::string &info);

/// A run that stopped on request before the stick changed: its partial
/// backup is gone and the stick is as it was.
class Stopped : public Error {
public:
  using Error::Error;
};

/// How a run on a terminal is asked to stop, and how it tells when the
/// stick begins to change, from which moment it no longer stops by itself.
struct RunControl {
  /// Asked at safe points before the stick changes; true stops the run.
  std::function<bool()> stop_requested;
  /// The stick is about to change; `backup_folder` holds its files, or is
  /// empty without backup.
  std::function<void(const std::string &backup_folder)> changing;
  /// The bytes that the run has copied and read back so far, at every
  /// file, for a rate; with the progress reports' fraction of the run.
  std::function<void(std::uint64_t bytes)> bytes_done;
};

class Process {
public:
  /// Folders whose trees are copied onto the stick last, in this order.
  std::vector<std::string> copy_directories;

  bool backup() const { return backup_; }
  void backup(bool on) { backup_ = on; }
  bool fdos() const { return fdos_; }
  void fdos(bool on) { fdos_ = on; }
  bool format() const { return format_; }
  void format(bool on) { format_ = on; }

  /// Appends `path` unchecked; the same folder may be added twice.
  void add_copy_directory(const std::string &path) {
    copy_directories.push_back(path);
  }

  /// The toolkit that shows the drive-not-ready message from the worker
  /// thread; without one that message is not shown.
  void toolkit(Toolkit *toolkit) { toolkit_ = toolkit; }

  /// Stop requests and the moment of change, for a run on a terminal.
  void control(RunControl control) { control_ = std::move(control); }

  /// How the stick was chosen, for the run's record: a drive's root or the
  /// path of an image; empty means the disk's root path.
  void target_name(std::string name) { target_name_ = std::move(name); }

  /// Makes the next run finish `run`, which was cut off, with its own
  /// options and its backup, instead of starting a new one.
  void finish_next(StoredRun run) { unfinished_ = std::move(run); }

  /// Prepares `disk` with these options, reporting each step to `callback`.
  /// Nothing happens without a disk. Failures carry the step's message.
  /// Without format no backup is made: there would be nothing to put back,
  /// and a restore would only overwrite the new FreeDOS files.
  void process(const std::shared_ptr<UsbDisk> &disk,
               const ProgressCallback &callback);

private:
  bool backup_ = true;
  bool fdos_ = true;
  bool format_ = true;
  Toolkit *toolkit_ = nullptr;
  RunControl control_;
  std::string target_name_;
  std::optional<StoredRun> unfinished_;
};

/// The signature of Process::process, run on a worker thread by the window.
using ProcessDelegate = std::function<void(const std::shared_ptr<UsbDisk> &,
                                           const ProgressCallback &)>;

} // namespace corvantix
