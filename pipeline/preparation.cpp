// The steps of a preparation: backup, format, FreeDOS, restore and read-back,
// copy folders, each kept in the run's record before the stick changes.
#include "pipeline/preparation.h"

#include "device/usb_disk.h"
#include "pipeline/resource_file.h"
#include "platform/filesystem.h"
#include "strings/res.h"
#include "ui/toolkit.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace corvantix {
namespace {

// The embedded files of the FreeDOS step, in the order they are written.
constexpr const char *kFreeDosFiles[] = {"KERNEL.SYS", "COMMAND.COM",
                                         "CONFIG.SYS", "AUTOEXEC.BAT",
                                         "ThirdPartyLicenses.txt"};

[[noreturn]] void fail(const std::string &message) {
  throw Error(message, std::current_exception());
}

// A cause in words: a file call's failure names the entry where it
// happened (a damaged folder, a volume that cannot be read).
std::string cause_text(const std::exception_ptr &failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const platform::FileError &e) {
    std::string text = e.what();
    // A damaged file system's text names its folder already.
    if (e.path().empty() || text.find(e.path()) != std::string::npos)
      return text;
    return Res::format("STEP_CAUSE", text, e.path());
  } catch (...) {
    return message_of(failure);
  }
}

} // namespace

void Preparation::start(RunRecord record) {
  record.backup = plan_.backup;
  record.format = plan_.format;
  record.fdos = plan_.fdos;
  record.copy_directories = plan_.copies;
  record.step = plan_.backup ? RunStep::Backup : RunStep::Format;
  if (plan_.backup) {
    begin(Res::get("STEP_BACKUP_CREATE"));
    backup_ = Folder::temp_name(Res::get("TEMP_NAME"));
    record.backup_folder = backup_->path();
  }
  try {
    journal_ = std::make_unique<RunJournal>(std::move(record));
  } catch (...) {
    backup_.reset(); // never made
    std::exception_ptr failure = std::current_exception();
    throw Error(Res::format("RUN_RECORD_ERR", cause_text(failure)) + discard(),
                failure);
  }
  if (plan_.backup)
    make_backup_folder();
}

// The record names the backup folder before it is made: a kill at any
// moment leaves no folder that no record names.
void Preparation::make_backup_folder() {
  constexpr int kAttempts = 1000;
  try {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      if (backup_->create_new()) {
        note_ = Res::format("TEMP_NOTE", backup_->path());
        return;
      }
      backup_ = Folder::temp_name(Res::get("TEMP_NAME"));
      journal_->move_backup(backup_->path());
    }
    throw Error(Res::get("TEMP_ERR_CREATE"),
                std::make_exception_ptr(platform::FileError(183, backup_->path())));
  } catch (...) {
    std::exception_ptr failure = std::current_exception();
    backup_.reset();
    discard();
    std::rethrow_exception(failure);
  }
}

void Preparation::resume(StoredRun run) {
  resumed_ = true;
  resumed_at_ = run.record.step;
  if (!run.record.backup_folder.empty()) {
    backup_ = Folder(run.record.backup_folder);
    note_ = Res::format("TEMP_NOTE", backup_->path());
  }
  journal_ = std::make_unique<RunJournal>(std::move(run));
}

void Preparation::run() {
  if (plan_.backup)
    backup();
  change();
  if (plan_.format)
    format();
  if (plan_.fdos)
    freedos();
  if (plan_.restore)
    restore();
  else
    drop_restored_backup();
  copy_folders();
  try {
    journal_->finish();
  } catch (...) {
    // The stick is ready; a record left behind is found gone-backup or
    // finished at the next start.
  }
  report_(1.0, Res::get("STEP_DONE"));
}

// Inside step k of N the fraction goes from k/N towards (k+1)/N, where the
// next step begins, without reaching it: only a step's beginning is on a
// whole step. Reports closer than a thousandth of the run are left out: a
// tree of many small files would flood the window.
void Preparation::within(double done, double total) {
  double part = total > 0 ? std::min(done / total, 0.999) : 0.999;
  double fraction = (step_ + part) / steps_;
  if (fraction - shown_ < 0.001)
    return;
  shown_ = fraction;
  report_(fraction, text_);
}

platform::CopyProgress Preparation::counting(std::uint64_t &done,
                                             std::uint64_t total,
                                             bool stoppable) {
  return [this, &done, total, stoppable](std::uint64_t bytes) {
    done += bytes;
    moved_ += bytes;
    if (control_.bytes_done)
      control_.bytes_done(moved_);
    within(double(done), double(total));
    if (stoppable)
      stop_if_asked();
  };
}

void Preparation::stop_if_asked() {
  if (control_.stop_requested && control_.stop_requested())
    throw Stopped(Res::get("RUN_STOPPED") + discard());
}

std::string Preparation::discard() {
  if (backup_ && !resumed_) {
    try {
      backup_->remove();
    } catch (...) {
      return note_; // the record stays: the next start removes it
    }
  }
  try {
    if (journal_)
      journal_->finish();
  } catch (...) {
  }
  return {};
}

void Preparation::backup() {
  try {
    Folder stick(disk_.path);
    std::uint64_t done = 0;
    stick.copy(backup_->path(), counting(done, stick.bytes(), true));
  } catch (const Stopped &) {
    throw;
  } catch (...) {
    std::exception_ptr failure = std::current_exception();
    throw Error(Res::get("STEP_BACKUP_CREATE_ERR") + " " + cause_text(failure) +
                    discard(),
                failure);
  }
}

// The last moment at which a stop leaves the stick as it was.
void Preparation::change() {
  if (!resumed_)
    stop_if_asked();
  if (control_.changing)
    control_.changing(backup_ ? backup_->path() : std::string());
}

void Preparation::format() {
  reach(RunStep::Format);
  begin(Res::get("STEP_FORMAT"));
  try {
    format_locked();
    disk_.refresh();
    // Shown once, without waiting: the next step finds out what is left.
    if (!platform::file_system().volume_ready(disk_.path) && toolkit_)
      toolkit_->message_box(Res::format("MSG_DRIVE_NOT_READY", disk_.name),
                            Res::get("MSG_TITLE_DRIVE_NOT_READY"),
                            Toolkit::Buttons::Ok);
  } catch (const UnchangedError &) {
    // A stick that does not keep its data, or that another program holds:
    // nothing was changed on it, and nothing is to be put back.
    std::exception_ptr failure = std::current_exception();
    std::string message = Res::format("STEP_FORMAT_ERR", message_of(failure));
    if (!resumed_)
      throw Error(message + discard(), failure);
    fail(message + note_);
  } catch (...) {
    fail(Res::format("STEP_FORMAT_ERR", message_of(std::current_exception())) +
         note_);
  }
}

// One lock of the volume from the capacity check to the end of the format:
// no other program opens the stick between them. It ends before the
// device restart.
void Preparation::format_locked() {
  UsbDisk::VolumeHold hold = disk_.lock_volume();
  disk_.check_capacity(hold);
  within(1, 3);
  disk_.format(hold);
  within(2, 3);
}

void Preparation::freedos() {
  reach(RunStep::FreeDos);
  begin(Res::get("STEP_FREEDOS"));
  try {
    for (std::size_t i = 0; i < std::size(kFreeDosFiles); ++i) {
      ResourceFile(kFreeDosFiles[i]).save(disk_.path);
      within(double(i + 1), double(std::size(kFreeDosFiles)));
    }
  } catch (...) {
    fail(Res::format("STEP_FREEDOS_ERR") + note_);
  }
}

void Preparation::restore() {
  reach(RunStep::Restore);
  begin(Res::get("STEP_BACKUP_RESTORE"));
  try {
    // Copied, then read back: each half of the step is the backup's bytes.
    std::uint64_t done = 0, total = 2 * backup_->bytes();
    backup_->copy(disk_.path, counting(done, total));
    // The backup goes only on the word of what the stick gives back.
    backup_->verify(disk_.path, counting(done, total));
    reach(RunStep::Restored);
    backup_->remove();
  } catch (...) {
    fail(Res::format("STEP_BACKUP_RESTORE_ERR", backup_->path()) +
         disk_.full_note(std::current_exception()));
  }
}

// A run cut off while its verified backup was being removed: the files are
// on the stick, and what is left of the backup goes.
void Preparation::drop_restored_backup() {
  if (!resumed_ || resumed_at_ != RunStep::Restored || !backup_ ||
      !platform::file_system().entry_name(backup_->path()))
    return;
  try {
    backup_->remove();
  } catch (...) {
    fail(Res::format("STEP_BACKUP_RESTORE_ERR", backup_->path()));
  }
}

void Preparation::copy_folders() {
  if (!plan_.copies.empty())
    reach(RunStep::Copy);
  for (const std::string &folder : plan_.copies) {
    begin(Res::format("STEP_COPY", folder));
    try {
      Folder source(folder);
      std::uint64_t done = 0;
      source.copy(disk_.path, counting(done, source.bytes()));
    } catch (...) {
      // The stick's own files are on it: nothing is left to finish.
      std::exception_ptr failure = std::current_exception();
      try {
        journal_->finish();
      } catch (...) {
      }
      throw Error(Res::format("STEP_COPY_ERR", folder), failure);
    }
  }
}

} // namespace corvantix
