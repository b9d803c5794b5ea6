#include "ui/main_window.h"

#include "device/scan_deadline.h"
#include "strings/error.h"
#include "strings/res.h"

#include <algorithm>
#include <cmath>

namespace corvantix {

frmCorvantix::frmCorvantix(Process &process, Toolkit &toolkit,
                           MainWindowServices services)
    : process_(process), toolkit_(toolkit), services_(std::move(services)) {
  if (!services_.scan)
    services_.scan = [](UsbList &list) { list.build(); };
  if (!services_.run)
    services_.run = [&process](const UsbDiskPtr &disk,
                               const ProgressCallback &callback) {
      process.process(disk, callback);
    };
  // The pipeline's own message box comes from the same toolkit.
  process_.toolkit(&toolkit_);
  view_ = toolkit_.create_main_view(*this);

  view_->set_enabled(Control::chkKeep, process_.format());
  view_->set_checked(process_.backup() && process_.format());

  format_caption_ = Res::get("UI_FORMAT");
  view_->set_text(Control::btnAbout, Res::get("UI_ABOUT"));
  view_->set_text(Control::btnFormat, format_caption_);
  view_->set_text(Control::btnRefresh, Res::get("UI_REFRESH"));
  view_->set_text(Control::lblSticks, Res::get("UI_STICKS"));
  view_->set_hint(Res::get("UI_STICKS_REFRESH"));
  view_->set_text(Control::lblTitle, Res::get("UI_TITLE"));
  view_->set_text(Control::chkKeep, Res::get("UI_BACKUP"));
  view_->set_title(Res::get("UI_TITLE"));
  view_->set_text(Control::lblInfo, Res::get("UI_INFO"));

  view_->set_tooltip(Control::btnAbout, Res::get("TT_ABOUT"));
  view_->set_tooltip(Control::btnFormat, Res::get("TT_FORMAT"));
  view_->set_tooltip(Control::btnRefresh, Res::get("TT_REFRESH"));
  view_->set_tooltip(Control::cbxSticks, Res::get("TT_STICKS"));
  view_->set_tooltip(Control::chkKeep, Res::get("TT_BACKUP"));

  view_->set_visible(Control::prgFormat, false);
  view_->set_focus(Control::cbxSticks);
  btnRefresh_Click();
}

// The about window goes first: it closes with the main window.
frmCorvantix::~frmCorvantix() {
  about_.reset();
  try {
    wait_for_run();
  } catch (...) {
    // The outcome could not be told; the worker has ended all the same.
  }
}

void frmCorvantix::close() {
  about_.reset();
  view_->close();
}

void frmCorvantix::btnRefresh_Click() {
  // The inventory's COM calls deliver window messages while they wait: a
  // click then must not start a scan inside this one, which is filling
  // the list.
  if (scanning_)
    return;
  struct ScanMark {
    bool &scanning;
    explicit ScanMark(bool &flag) : scanning(flag) { scanning = true; }
    ~ScanMark() { scanning = false; }
  } mark(scanning_);
  view_->clear_items();
  // No stick is chosen while the list is filled.
  stick_ = nullptr;
  view_->set_enabled(Control::btnFormat, false);
  try {
    services_.scan(usbs_);
  } catch (const InventoryTimeout &e) {
    // The system's inventory hangs, not the program: the list stays
    // empty, and Refresh asks again.
    usbs_.disks.clear();
    view_->show_message(e.what(), Res::get("MSG_TITLE_SCAN"));
  }
  for (const UsbDiskPtr &disk : usbs_.disks)
    view_->add_item(disk->ToString());
  select(usbs_.disks.size() == 1 ? 0 : no_selection);
}

void frmCorvantix::cbxSticks_SelectedValueChanged() {
  select(view_->selected());
}

void frmCorvantix::select(std::uint32_t index) {
  if (index >= usbs_.disks.size())
    index = no_selection;
  // Selecting the current position again may be reported back to us by
  // the toolkit; leaving the list alone ends that round trip.
  if (view_->selected() != index)
    view_->set_selected(index);
  if (index != no_selection) {
    view_->set_enabled(Control::btnFormat, true);
    stick_ = usbs_.disks[index];
    return;
  }
  view_->set_enabled(Control::btnFormat, false);
  stick_ = nullptr;
  view_->set_hint(Res::get(usbs_.disks.empty() ? "UI_STICKS_REFRESH"
                                               : "UI_STICKS_SELECT"));
}

void frmCorvantix::select_letter(char letter) {
  if (letter == 0)
    return;
  for (std::uint32_t i = 0; i < usbs_.disks.size(); ++i) {
    if (usbs_.disks[i]->letter != letter)
      continue;
    select(i);
    view_->set_enabled(Control::cbxSticks, false);
    view_->set_enabled(Control::btnRefresh, false);
    view_->set_focus(Control::btnFormat);
    return;
  }
  throw Error(Res::format("ARGS_ERR_LETTER", letter));
}

void frmCorvantix::btnFormat_Click() {
  if (!stick_ || running_)
    return;
  if (view_->is_enabled(Control::chkKeep)) {
    bool keep = view_->is_checked();
    std::string text = Res::get(keep ? "MSG_BACKUP" : "MSG_NO_BACKUP");
    std::string title =
        Res::get(keep ? "MSG_TITLE_BACKUP" : "MSG_TITLE_NO_BACKUP");
    if (!view_->ask_yes_no(text, title))
      return;
  }
  begin_process();
}

void frmCorvantix::offer_unfinished_runs() {
  std::vector<SeenStick> sticks;
  for (const UsbDiskPtr &disk : usbs_.disks)
    sticks.push_back({disk, disk->path});
  UnfinishedRuns review = review_unfinished_runs(sticks);
  for (const std::string &notice : review.notices)
    view_->show_message(notice, Res::get("MSG_TITLE_RUN"));
  for (FinishableRun &finishable : review.finishable) {
    const RunRecord &record = finishable.run.record;
    std::string stick = run_stick_text(record), when = run_time_text(record),
                step = run_step_text(record);
    std::string question =
        record.files_in_backup()
            ? Res::format("RUN_ASK", stick, when, step, record.backup_folder)
            : Res::format("RUN_ASK_NO_BACKUP", stick, when, step);
    if (!view_->ask_yes_no(question, Res::get("MSG_TITLE_RUN")))
      continue;
    auto listed = std::find(usbs_.disks.begin(), usbs_.disks.end(), finishable.disk);
    select(std::uint32_t(listed - usbs_.disks.begin()));
    process_.finish_next(std::move(finishable.run));
    begin_process();
    return;
  }
}

void frmCorvantix::begin_process() {
  // A bar still full from the last run would claim the new one is done.
  view_->set_progress(0);
  view_->set_visible(Control::prgFormat, true);
  view_->set_window_enabled(false);
  view_->set_enabled(Control::cbxSticks, false);
  process_.backup(view_->is_enabled(Control::chkKeep) && view_->is_checked());
  running_ = true;

  UsbDiskPtr disk = stick_;
  unsigned run = started_runs_ + 1;
  try {
    toolkit_.run_worker(
        [this, disk] {
          services_.run(disk, [this](double fraction, const std::string &step) {
            progress(fraction, step);
          });
        },
        [this, run](std::exception_ptr failure) { complete(run, failure); });
    started_runs_ = run;
  } catch (...) {
    // No worker: the run fails at once instead of leaving the window off.
    end_process(std::current_exception());
  }
}

void frmCorvantix::on_window_thread(std::function<void()> call) {
  if (!toolkit_.posting_needed())
    return call();
  toolkit_.post([alive = std::weak_ptr<int>(alive_), call = std::move(call)] {
    if (!alive.expired())
      call();
  });
}

void frmCorvantix::complete(unsigned run, std::exception_ptr failure) {
  end_process(failure);
  // The window thread may be waiting for this, and may destroy the window
  // as soon as the lock is free: nothing follows.
  std::lock_guard lock(completion_mutex_);
  completed_runs_ = run;
  last_failure_ = failure;
  completed_.notify_all();
}

std::exception_ptr frmCorvantix::wait_for_worker() {
  std::unique_lock lock(completion_mutex_);
  completed_.wait(lock, [this] { return completed_runs_ == started_runs_; });
  return last_failure_;
}

void frmCorvantix::progress(double fraction, const std::string &step) {
  if (toolkit_.posting_needed())
    return on_window_thread([this, fraction, step] { progress(fraction, step); });
  if (view_->is_closed())
    return;
  double value = std::isnan(fraction) ? 0 : fraction * progress_maximum;
  value = std::clamp(value, 0.0, double(progress_maximum));
  view_->set_progress(static_cast<int>(value));
  view_->set_text(Control::btnFormat, step);
}

frmCorvantix::Outcome frmCorvantix::outcome_of(std::exception_ptr failure) {
  if (!failure) {
    try {
      return {Res::get("MSG_FORMAT_SUCCESS"),
              Res::get("MSG_TITLE_FORMAT_SUCCESS"), nullptr};
    } catch (...) {
      failure = std::current_exception();
    }
  }
  try {
    return {Res::format("MSG_FORMAT_FAIL", message_of(failure)),
            Res::get("MSG_TITLE_FORMAT_FAIL"), failure};
  } catch (...) {
    // The table cannot word the failure: show the failure's own message.
    return {message_of(failure), "", failure};
  }
}

void frmCorvantix::end_process(std::exception_ptr completion) {
  if (toolkit_.posting_needed())
    return on_window_thread([this, completion] { end_process(completion); });
  if (!running_)
    return; // told already, without the window
  if (view_->is_closed())
    return end_without_window(completion);
  running_ = false;
  view_->set_progress(progress_maximum);
  Outcome outcome = outcome_of(completion);

  view_->set_enabled(Control::cbxSticks, true);
  view_->set_window_enabled(true);
  view_->set_visible(Control::prgFormat, false);
  view_->set_text(Control::btnFormat, format_caption_);

  view_->show_message(outcome.text, outcome.title);
  UsbDiskPtr disk = stick_;
  OnFormatFinish.raise(*this, disk, outcome.failure);
  // A listener may have closed the window: its list is gone then.
  if (!view_->is_closed())
    btnRefresh_Click();
}

void frmCorvantix::end_without_window(std::exception_ptr failure) {
  running_ = false;
  outlived_ = true;
  Outcome outcome = outcome_of(failure);
  toolkit_.note(outcome.text, outcome.title);
}

bool frmCorvantix::wait_for_run() {
  // Nothing is left to answer in the about window while the run ends.
  if (running_)
    about_.reset();
  std::exception_ptr failure = wait_for_worker();
  if (running_)
    end_without_window(failure);
  return outlived_;
}

void frmCorvantix::btnAbout_Click() {
  if (about_ && !about_->view().is_closed() && about_->view().is_visible())
    return;
  auto about = std::make_unique<frmAbout>(toolkit_);
  about->view().show();
  about_ = std::move(about);
}

} // namespace corvantix
