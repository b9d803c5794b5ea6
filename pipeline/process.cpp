// Process: a run on one stick, a new one or the finishing of one that was
// cut off, with the drive given back at its end.
#include "pipeline/process.h"

#include "device/usb_disk.h"
#include "pipeline/preparation.h"
#include "platform/filesystem.h"
#include "strings/res.h"

#include <optional>
#include <utility>

namespace corvantix {
namespace {

// What finishing a cut-off run still has to do: the stick is prepared
// again unless its files were already back on it.
Plan plan_of(const RunRecord &record) {
  Plan plan;
  bool prepared = record.step >= RunStep::Restored;
  plan.format = record.format && !prepared;
  plan.fdos = record.fdos && !prepared;
  plan.restore = record.files_in_backup();
  plan.copies = record.copy_directories;
  return plan;
}

// The drive as the run uses it: what was freed for the run is given back
// at its end, unless the run changed the drive.
struct VolumeUse {
  VolumeUse(std::string root, bool changed)
      : root(std::move(root)), changed(changed) {}
  ~VolumeUse() {
    try {
      platform::file_system().end_volume_use(root, changed);
    } catch (...) {
    }
  }
  VolumeUse(const VolumeUse &) = delete;
  VolumeUse &operator=(const VolumeUse &) = delete;

  std::string root;
  bool changed;
};

} // namespace

void progress_cb(double, const std::string &) {}

void Process::process(const std::shared_ptr<UsbDisk> &disk,
                      const ProgressCallback &callback) {
  if (!disk)
    return;
  std::optional<StoredRun> unfinished = std::exchange(unfinished_, std::nullopt);
  // A run cut off earlier changed the stick already.
  VolumeUse use(disk->path, unfinished.has_value());
  RunControl control = control_;
  control.changing = [&](const std::string &backup_folder) {
    use.changed = true;
    if (control_.changing)
      control_.changing(backup_folder);
  };
  // Another program on the stick would find it changing under its feet.
  if (platform::file_system().volume_in_use(disk->path)) {
    std::string user = platform::file_system().volume_user(disk->path);
    throw Error(user.empty() ? Res::format("MSG_DRIVE_IN_USE", disk->name)
                             : user);
  }
  // Sticks the run would fail on or lose files of, before anything changes.
  // A run being finished made the stick's partition table itself.
  if (unfinished ? unfinished->record.format : format_)
    disk->check_layout(!unfinished && backup_);
  const ProgressCallback report = callback ? callback : progress_cb;

  if (unfinished) {
    Preparation run(plan_of(unfinished->record), *disk, report, toolkit_,
                    control);
    run.resume(std::move(*unfinished));
    return run.run();
  }
  Plan plan;
  plan.backup = plan.restore = backup_ && format_;
  plan.format = format_;
  plan.fdos = fdos_;
  plan.copies = copy_directories;
  Preparation run(plan, *disk, report, toolkit_, control);
  RunRecord record;
  record.target = target_name_.empty() ? disk->path : target_name_;
  record.device_id = disk->deviceID;
  record.pnp_id = disk->pnpID;
  record.model = disk->model;
  record.size = disk->size;
  run.start(std::move(record));
  run.run();
}

} // namespace corvantix
