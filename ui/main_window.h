// frmCorvantix, the main window: lists the USB disks, asks for confirmation,
// runs the preparation on a worker thread with its progress, reports the
// result and tells its listeners that the run has finished.
#pragma once

#include "device/usb_disk.h"
#include "pipeline/process.h"
#include "ui/about_window.h"
#include "ui/event.h"
#include "ui/toolkit.h"
#include "ui/view.h"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace corvantix {

class frmCorvantix;

/// Raised on the window thread after each run: the window, the disk that
/// the run worked on, and the run's failure or null for success.
using FormatFinishHandler = void (*)(frmCorvantix &sender,
                                     const UsbDiskPtr &disk,
                                     const std::exception_ptr &failure);

/// Where the window finds its disks and how it runs the pipeline. Empty
/// members mean the real ones: UsbList::build and Process::process.
struct MainWindowServices {
  std::function<void(UsbList &)> scan;
  ProcessDelegate run;
};

class frmCorvantix : public MainEvents {
public:
  /// Builds the window over a new view of `toolkit` and scans for disks.
  /// `process` applies to every run and outlives the window.
  frmCorvantix(Process &process, Toolkit &toolkit,
               MainWindowServices services = {});
  /// Waits for a run that is still under way (see wait_for_run): its worker
  /// uses the window to the end.
  ~frmCorvantix();
  frmCorvantix(const frmCorvantix &) = delete;
  frmCorvantix &operator=(const frmCorvantix &) = delete;

  Event<frmCorvantix &, const UsbDiskPtr &, const std::exception_ptr &>
      OnFormatFinish;

  /// Pre-selects the first listed disk with exactly this letter and locks
  /// the list and Refresh; 0 does nothing. Fails with ARGS_ERR_LETTER.
  void select_letter(char letter);

  /// Selects a position of the device list; no_selection, or a position
  /// past the list, selects none.
  void select(std::uint32_t index);

  /// The pipeline's progress report; from a worker it is posted.
  void progress(double fraction, const std::string &step);

  /// Looks over the runs that were cut off before anything else is done:
  /// one on a listed stick is offered to be finished (Yes starts it at
  /// once), the others are named once. Shown before the first run.
  void offer_unfinished_runs();

  /// Disables the window and starts the run on a worker thread.
  void begin_process();
  /// The end of a run with its failure, or null; from a worker it is posted.
  void end_process(std::exception_ptr completion);

  void btnRefresh_Click() override;
  void cbxSticks_SelectedValueChanged() override;
  void btnFormat_Click() override;
  void btnAbout_Click() override;

  /// Closes the window (and the about window it opened).
  void close();

  /// Once the window has closed: waits until a run that is still under way
  /// has ended on its worker, then tells its outcome through the toolkit's
  /// note, since no window can show it. True when a run outlived the window
  /// (then no OnFormatFinish listener is called).
  bool wait_for_run();

  MainView &view() { return *view_; }
  const UsbList &usbs() const { return usbs_; }
  const UsbDiskPtr &stick() const { return stick_; }
  /// The about window opened last, or null.
  frmAbout *about() { return about_.get(); }

private:
  struct Outcome {
    std::string text;
    std::string title;
    std::exception_ptr failure;
  };
  static Outcome outcome_of(std::exception_ptr failure);
  /// Runs `call` on the window thread, now or posted; a posted call is
  /// dropped if the window has been destroyed meanwhile.
  void on_window_thread(std::function<void()> call);
  /// The worker's last act: posts the end, then records the completion.
  void complete(unsigned run, std::exception_ptr failure);
  /// Waits until the worker of the last run has completed; its failure.
  std::exception_ptr wait_for_worker();
  void end_without_window(std::exception_ptr failure);

  Process &process_;
  Toolkit &toolkit_;
  MainWindowServices services_;
  std::unique_ptr<MainView> view_;
  UsbList usbs_;
  UsbDiskPtr stick_;
  std::unique_ptr<frmAbout> about_;
  std::string format_caption_; ///< UI_FORMAT, restored after every run
  bool running_ = false; ///< from begin_process until its end is handled
  /// A scan is asking the inventory: COM may deliver clicks meanwhile.
  bool scanning_ = false;
  bool outlived_ = false; ///< a run ended after the window had gone
  /// Expires with the window; posted calls check it.
  std::shared_ptr<int> alive_ = std::make_shared<int>();

  // The one place where the window thread waits for the worker: only when
  // the window is gone and the run must still reach its end.
  unsigned started_runs_ = 0; ///< workers started; window thread only
  std::mutex completion_mutex_;
  std::condition_variable completed_;
  unsigned completed_runs_ = 0;    ///< guarded by completion_mutex_
  std::exception_ptr last_failure_; ///< of the last completed run, likewise
};

} // namespace corvantix
