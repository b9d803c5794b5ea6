// The options of one preparation of a USB stick, and the run itself.
#pragma once

#include <functional>
#include <memory>
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

  /// Prepares `disk` with these options, reporting each step to `callback`.
  /// Nothing happens without a disk. Failures carry the step's message.
  void process(const std::shared_ptr<UsbDisk> &disk,
               const ProgressCallback &callback) const;

private:
  bool backup_ = true;
  bool fdos_ = true;
  bool format_ = true;
  Toolkit *toolkit_ = nullptr;
};

/// The signature of Process::process, run on a worker thread by the window.
using ProcessDelegate = std::function<void(const std::shared_ptr<UsbDisk> &,
                                           const ProgressCallback &)>;

} // namespace corvantix
