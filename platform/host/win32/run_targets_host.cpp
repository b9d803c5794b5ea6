// The targets of an unattended run in the host build: drive letters of the
// machine, and image files and block devices, which become the disks of a
// machine made for the run.
#include "platform/terminal.h"

#include "device/usb_disk.h"
#include "disk/formatter.h"
#include "platform/host/machine/linux_disks.h"
#include "platform/host/machine/machine.h"
#include "platform/host/machine/machine_choice.h"
#include "platform/system.h"
#include "strings/error.h"
#include "strings/res.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace corvantix::platform {
namespace {

namespace fs = std::filesystem;
using emulation::DiskConfig;
using emulation::Machine;

constexpr char kFirstLetter = 'E'; // the first letter Windows gives a stick

RunTarget refused(std::string message) {
  RunTarget target;
  target.refusal = std::move(message);
  return target;
}

RunTarget needs_rights(std::string message) {
  RunTarget target = refused(std::move(message));
  target.needs_rights = true;
  return target;
}

bool is_rights_error(int error) { return error == EACCES || error == EPERM; }

// The errno of the check whether this process may `mode` (R_OK, W_OK)
// `path`, or 0. Nothing is opened: a device opened for writing would be
// probed again by the system when it is closed.
int access_error(const fs::path &path, int mode) {
  return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0 ? 0 : errno;
}

// `name` cannot be opened for the run: for want of rights, or else why.
RunTarget cannot_open(const std::string &name, int error) {
  if (is_rights_error(error))
    return needs_rights(Res::format("ARGS_YES_RIGHTS", name));
  return refused(Res::format("ARGS_YES_OPEN", name,
                             system_message(emulation::win32_error_of(error))));
}

// One target before the machine of the run is made.
struct Candidate {
  Candidate() = default;
  Candidate(RunTarget refusal) : result(std::move(refusal)) {}

  RunTarget result;                 ///< a refusal, or a drive letter's disk
  std::optional<DiskConfig> config; ///< its disk in a machine of the run
  bool path = false;                ///< an image file or block device
  bool made = false;                ///< a new image, made with the machine
  std::string name;                 ///< a path as the user gave it
};

// Why the machine of the real USB disks lists no drive although it has
// USB disks: none that this user may open.
std::optional<RunTarget> why_no_usb_disk() {
  if (!emulation::is_usb_machine(std::getenv("CORVANTIX_MACHINE")))
    return std::nullopt;
  Machine &machine = Machine::current();
  std::lock_guard guard(machine.lock());
  for (const emulation::Disk &disk : machine.disks())
    if (is_rights_error(access_error(disk.config.image, R_OK | W_OK)))
      return needs_rights(Res::get("ARGS_YES_USB_RIGHTS"));
  return std::nullopt;
}

Candidate letter_target(char letter) {
  letter = char(std::toupper(static_cast<unsigned char>(letter)));
  UsbList list;
  list.build();
  Candidate found;
  found.result.disk = list.by_letter(letter);
  if (!found.result.disk) {
    if (list.disks.empty())
      if (std::optional<RunTarget> why = why_no_usb_disk())
        return Candidate(*why);
    return Candidate(refused(list.missing_letter_text(letter)));
  }
  {
    Machine &machine = Machine::current();
    std::lock_guard guard(machine.lock());
    if (const emulation::Disk *disk = machine.disk_by_letter(letter))
      found.config = disk->config;
  }
  if (found.config)
    if (int error = access_error(found.config->image, R_OK | W_OK);
        is_rights_error(error))
      return Candidate(cannot_open(found.config->image.string(), error));
  return found;
}

// The disk of a block device: a USB disk as the discovery takes one,
// refused untouched otherwise.
std::optional<RunTarget> block_device_disk(const std::string &target,
                                           const fs::path &path,
                                           DiskConfig &config) {
  std::optional<emulation::LinuxDisk> disk =
      emulation::describe_block_device(path);
  if (!disk)
    return refused(Res::format("ARGS_YES_NOT_WHOLE_DISK", target));
  if (!disk->usb)
    return refused(Res::format("ARGS_YES_NOT_USB", target));
  if (disk->size == 0)
    return refused(Res::format("ARGS_YES_NO_MEDIUM", target));
  if (disk->read_only)
    return refused(Res::format("ARGS_YES_READ_ONLY", target));
  if (int error = access_error(path, R_OK | W_OK))
    return cannot_open(target, error);
  config = emulation::disk_config_of(*disk);
  config.interface_type = "USB";
  if (config.model.empty())
    config.model = disk->name;
  return std::nullopt;
}

Candidate path_target(const std::string &target, std::uint64_t new_size) {
  std::error_code error;
  fs::path path = fs::absolute(target, error);
  if (error)
    return Candidate(
        refused(Res::format("ARGS_YES_OPEN", target, error.message())));
  Candidate found;
  found.path = true;
  found.name = target;
  DiskConfig config;
  config.image = path;
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    int failure = errno;
    if (failure != ENOENT)
      return Candidate(cannot_open(target, failure));
    if (new_size == 0)
      return Candidate(refused(Res::format("ARGS_YES_NO_IMAGE", target)));
    // The image is made in its folder.
    if (is_rights_error(access_error(path.parent_path(), W_OK | X_OK)))
      return Candidate(needs_rights(Res::format("ARGS_YES_RIGHTS", target)));
    config.new_size = new_size;
    config.new_image_formatted = false;
    found.made = true;
  } else if (S_ISREG(status.st_mode)) {
    if (int failure = access_error(path, R_OK | W_OK))
      return Candidate(cannot_open(target, failure));
    // Such a file (a remnant, or no image at all) could never hold FAT32.
    if (std::uint64_t(status.st_size) < MinimumFat32DiskSize())
      return Candidate(refused(Res::format("ARGS_YES_TOO_SMALL", target,
                                           std::uint64_t(status.st_size),
                                           MinimumFat32DiskSize())));
  } else if (S_ISBLK(status.st_mode)) {
    if (auto refusal = block_device_disk(target, path, config))
      return Candidate(*refusal);
  } else {
    return Candidate(refused(Res::format("ARGS_YES_NOT_DISK", target)));
  }
  found.config = config;
  return found;
}

// What tells a disk's medium apart from others: the device of a block
// device, the file of an image, the path of one still to be made.
std::string identity_of(const DiskConfig &config) {
  struct stat status {};
  if (::stat(config.image.c_str(), &status) != 0)
    return "path " + config.image.string();
  if (S_ISBLK(status.st_mode))
    return "device " + std::to_string(status.st_rdev);
  return "file " + std::to_string(status.st_dev) + ":" +
         std::to_string(status.st_ino);
}

// A target that names the disk of an earlier one is refused: two runs on
// one stick would destroy each other's work.
void refuse_repeated_disks(const std::vector<std::string> &targets,
                           std::vector<Candidate> &all) {
  std::vector<std::pair<std::string, std::size_t>> seen;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (!all[i].config)
      continue;
    std::string identity = identity_of(*all[i].config);
    auto earlier = std::find_if(seen.begin(), seen.end(), [&](const auto &s) {
      return s.first == identity;
    });
    if (earlier == seen.end()) {
      seen.emplace_back(identity, i);
      continue;
    }
    all[i] = refused(Res::format("ARGS_YES_SAME_DISK", targets[i],
                                 targets[earlier->second]));
  }
}

// Letters E, F, G, ... for the paths, in target order, past the letters
// that drive-letter targets keep; a path without a free letter is refused.
void give_letters(const std::vector<std::string> &targets,
                  std::vector<Candidate> &all) {
  std::string taken;
  for (const Candidate &c : all)
    if (!c.path && c.config)
      taken += c.config->letter;
  char next = kFirstLetter;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (!all[i].path || !all[i].config)
      continue;
    while (next <= 'Z' && taken.find(next) != std::string::npos)
      ++next;
    if (next > 'Z') {
      all[i] = refused(Res::format("ARGS_YES_NO_LETTER", targets[i]));
      continue;
    }
    all[i].config->letter = next++;
  }
}

// Less than this is too little for the writes of a format, which a full
// file system cuts short.
constexpr std::uint64_t kRoomNeeded = 1 << 20;

// The bytes that this process may still write in `folder`'s file system;
// the most there is when that cannot be told.
std::uint64_t room_left(const fs::path &folder) {
  struct statvfs status {};
  if (::statvfs(folder.c_str(), &status) != 0)
    return UINT64_MAX;
  // The superuser may write the blocks kept back from others.
  std::uint64_t blocks = ::geteuid() == 0 ? status.f_bfree : status.f_bavail;
  return blocks * status.f_frsize;
}

// The machine of these disks alone, its private folder as the process's
// machine has it, and each target's disk as the inventory describes it (a
// blank disk has no partition for the inventory to list).
void install_machine(std::vector<Candidate> &all) {
  std::vector<DiskConfig> configs;
  for (const Candidate &c : all)
    configs.push_back(*c.config);
  std::string state =
      (fs::temp_directory_path() / "corvantix-machine-XXXXXX").string();
  if (!::mkdtemp(state.data()))
    throw Error("Could not make the machine's folder '" + state +
                "': " + std::strerror(errno));
  Machine::install(std::make_unique<Machine>(configs, state));

  Machine &machine = Machine::current();
  std::lock_guard guard(machine.lock());
  for (Candidate &c : all) {
    const emulation::Disk &disk = *machine.disk_by_letter(c.config->letter);
    c.result.disk = std::make_shared<UsbDisk>(
        "\\\\.\\PHYSICALDRIVE" + std::to_string(disk.number), disk.config.model,
        disk.size(), disk.pnp_id, disk.config.letter, c.name);
    c.result.new_image = c.made;
    if (!c.made)
      continue;
    c.result.undo = [image = c.config->image] {
      Machine::install(nullptr);
      std::error_code ignored;
      fs::remove(image, ignored);
    };
    c.result.out_of_room = [folder = c.config->image.parent_path()] {
      return room_left(folder) < kRoomNeeded;
    };
  }
}

} // namespace

std::vector<RunTarget> find_run_targets(const std::vector<std::string> &targets,
                                        std::uint64_t new_size) {
  std::vector<Candidate> all;
  for (const std::string &target : targets)
    all.push_back(target.size() == 1 ? letter_target(target[0])
                                     : path_target(target, new_size));
  refuse_repeated_disks(targets, all);
  bool paths = std::any_of(all.begin(), all.end(),
                           [](const Candidate &c) { return c.path; });
  if (paths)
    give_letters(targets, all);
  bool refusal = std::any_of(all.begin(), all.end(), [](const Candidate &c) {
    return !c.result.refusal.empty();
  });
  // Nothing is made or installed unless every target can run.
  if (paths && !refusal)
    install_machine(all);
  std::vector<RunTarget> found;
  for (Candidate &c : all) {
    if (refusal && c.result.refusal.empty())
      c.result = RunTarget{};
    found.push_back(std::move(c.result));
  }
  return found;
}

} // namespace corvantix::platform
