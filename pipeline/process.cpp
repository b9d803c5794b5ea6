#include "pipeline/process.h"

#include "device/usb_disk.h"
#include "pipeline/folder.h"
#include "pipeline/resource_file.h"
#include "platform/filesystem.h"
#include "strings/error.h"
#include "strings/res.h"
#include "ui/toolkit.h"

#include <optional>

namespace corvantix {
namespace {

// The embedded files of the FreeDOS step, in the order they are written.
constexpr const char *kFreeDosFiles[] = {"KERNEL.SYS", "COMMAND.COM",
                                         "CONFIG.SYS", "AUTOEXEC.BAT",
                                         "ThirdPartyLicenses.txt"};

[[noreturn]] void fail(const std::string &message) {
  throw Error(message, std::current_exception());
}

// A backup that is not needed, since nothing was changed on the stick: it
// is removed, and where that fails, the note that names it is returned.
std::string discard(const std::optional<Folder> &backup,
                    const std::string &note) {
  try {
    if (backup)
      backup->remove();
    return {};
  } catch (...) {
    return note;
  }
}

} // namespace

void progress_cb(double, const std::string &) {}

void Process::process(const std::shared_ptr<UsbDisk> &disk,
                      const ProgressCallback &callback) const {
  if (!disk)
    return;
  // Another program on the stick would find it changing under its feet.
  if (platform::file_system().volume_in_use(disk->path)) {
    std::string user = platform::file_system().volume_user(disk->path);
    throw Error(user.empty() ? Res::format("MSG_DRIVE_IN_USE", disk->path)
                             : user);
  }
  // Sticks the run would fail on or lose files of, before anything changes.
  if (format_)
    disk->check_layout(backup_);
  const ProgressCallback report = callback ? callback : progress_cb;
  const double steps = (backup_ ? 2 : 0) + (format_ ? 1 : 0) + (fdos_ ? 1 : 0) +
                       double(copy_directories.size()) + 1;
  int step = 0;
  auto begin = [&](const std::string &text) { report(++step / steps, text); };

  std::optional<Folder> backup;
  std::string note; // tells where the backup is, once there is one
  if (backup_) {
    begin(Res::get("STEP_BACKUP_CREATE"));
    backup = Folder::create_temp(Res::get("TEMP_NAME"));
    note = Res::format("TEMP_NOTE", backup->path());
    try {
      Folder(disk->path).copy(backup->path());
    } catch (...) {
      throw Error(Res::get("STEP_BACKUP_CREATE_ERR") + discard(backup, note),
                  std::current_exception());
    }
  }

  if (format_) {
    begin(Res::get("STEP_FORMAT"));
    try {
      disk->check_capacity();
    } catch (const CapacityError &) {
      // Nothing was changed on a stick that does not keep its data, and
      // nothing is to be put back on it.
      throw Error(Res::format("STEP_FORMAT_ERR",
                              message_of(std::current_exception())) +
                      discard(backup, note),
                  std::current_exception());
    } catch (...) {
      fail(Res::format("STEP_FORMAT_ERR", message_of(std::current_exception())) +
           note);
    }
    try {
      disk->format();
      disk->refresh();
      // Shown once, without waiting: the next step finds out what is left.
      if (!platform::file_system().volume_ready(disk->path) && toolkit_)
        toolkit_->message_box(Res::format("MSG_DRIVE_NOT_READY", disk->path),
                              Res::get("MSG_TITLE_DRIVE_NOT_READY"),
                              Toolkit::Buttons::Ok);
    } catch (...) {
      fail(Res::format("STEP_FORMAT_ERR", message_of(std::current_exception())) +
           note);
    }
  }

  if (fdos_) {
    begin(Res::get("STEP_FREEDOS"));
    try {
      for (const char *name : kFreeDosFiles)
        ResourceFile(name).save(disk->path);
    } catch (...) {
      fail(Res::format("STEP_FREEDOS_ERR") + note);
    }
  }

  if (backup) {
    begin(Res::get("STEP_BACKUP_RESTORE"));
    try {
      backup->copy(disk->path);
      // The backup goes only on the word of what the stick gives back.
      backup->verify(disk->path);
      backup->remove();
    } catch (...) {
      fail(Res::format("STEP_BACKUP_RESTORE_ERR", backup->path()) +
           disk->full_note(std::current_exception()));
    }
  }

  for (const std::string &folder : copy_directories) {
    begin(Res::format("STEP_COPY", folder));
    try {
      Folder(folder).copy(disk->path);
    } catch (...) {
      fail(Res::format("STEP_COPY_ERR", folder));
    }
  }

  report(1.0, Res::get("STEP_DONE"));
}

} // namespace corvantix
