// The terminal of the host build: the process's standard streams, and the
// target of an unattended run, which may name an image file or a block
// device that becomes the emulated machine's one disk.
#include "platform/terminal.h"

#include "device/usb_disk.h"
#include "platform/host/machine/linux_disks.h"
#include "platform/host/machine/machine.h"
#include "platform/system.h"
#include "strings/error.h"
#include "strings/res.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>

namespace corvantix::platform {
namespace {

namespace fs = std::filesystem;
using emulation::DiskConfig;
using emulation::Machine;

constexpr char kTargetLetter = 'E'; // the machine has no other disk

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

// Why the machine of the real USB disks has no drive to prepare: no USB
// disk at all, or none that this user may open.
std::optional<RunTarget> why_no_usb_disk() {
  const char *machine_name = std::getenv("CORVANTIX_MACHINE");
  if (!machine_name || !emulation::is_usb_machine_name(machine_name))
    return std::nullopt;
  Machine &machine = Machine::current();
  std::lock_guard guard(machine.lock());
  if (machine.disks().empty())
    return refused(Res::get("ARGS_YES_NO_USB"));
  for (const emulation::Disk &disk : machine.disks())
    if (is_rights_error(access_error(disk.config.image, R_OK | W_OK)))
      return needs_rights(Res::get("ARGS_YES_USB_RIGHTS"));
  return std::nullopt;
}

RunTarget letter_target(char letter) {
  letter = char(std::toupper(static_cast<unsigned char>(letter)));
  UsbList list;
  list.build();
  RunTarget target;
  target.disk = list.by_letter(letter);
  if (!target.disk) {
    if (list.disks.empty())
      if (std::optional<RunTarget> why = why_no_usb_disk())
        return *why;
    return refused(Res::format("ARGS_ERR_LETTER", letter));
  }
  fs::path image;
  {
    Machine &machine = Machine::current();
    std::lock_guard guard(machine.lock());
    if (const emulation::Disk *disk = machine.disk_by_letter(letter))
      image = disk->config.image;
  }
  if (!image.empty())
    if (int error = access_error(image, R_OK | W_OK); is_rights_error(error))
      return cannot_open(image.string(), error);
  return target;
}

// The machine's one disk for a block device: a USB disk as the discovery
// takes one, refused untouched otherwise.
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

RunTarget path_target(const std::string &target, std::uint64_t new_size) {
  std::error_code error;
  fs::path path = fs::absolute(target, error);
  if (error)
    return refused(Res::format("ARGS_YES_OPEN", target, error.message()));
  DiskConfig config;
  config.image = path;
  bool made = false;
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    int failure = errno;
    if (failure != ENOENT)
      return cannot_open(target, failure);
    if (new_size == 0)
      return refused(Res::format("ARGS_YES_NO_IMAGE", target));
    // The image is made in its folder.
    if (is_rights_error(access_error(path.parent_path(), W_OK | X_OK)))
      return needs_rights(Res::format("ARGS_YES_RIGHTS", target));
    config.new_size = new_size;
    config.new_image_formatted = false;
    made = true;
  } else if (S_ISREG(status.st_mode)) {
    if (int failure = access_error(path, R_OK | W_OK))
      return cannot_open(target, failure);
  } else if (S_ISBLK(status.st_mode)) {
    if (auto refusal = block_device_disk(target, path, config))
      return *refusal;
  } else {
    return refused(Res::format("ARGS_YES_NOT_DISK", target));
  }
  config.letter = kTargetLetter;

  // The machine of this disk alone, its private folder as the process's
  // machine has it.
  std::string state =
      (fs::temp_directory_path() / "corvantix-machine-XXXXXX").string();
  if (!::mkdtemp(state.data()))
    throw Error("Could not make the machine's folder '" + state +
                "': " + std::strerror(errno));
  Machine::install(
      std::make_unique<Machine>(std::vector<DiskConfig>{config}, state));

  Machine &machine = Machine::current();
  std::lock_guard guard(machine.lock());
  const emulation::Disk &disk = machine.disks().front();
  RunTarget found;
  // As the disk inventory describes the drive; a blank disk has no
  // partition for it to list.
  found.disk = std::make_shared<UsbDisk>(
      "\\\\.\\PHYSICALDRIVE" + std::to_string(disk.number), disk.config.model,
      disk.size(), disk.pnp_id, disk.config.letter);
  found.new_image = made;
  if (made)
    found.undo = [image = config.image] {
      Machine::install(nullptr);
      std::error_code ignored;
      fs::remove(image, ignored);
    };
  return found;
}

} // namespace

bool input_is_terminal() { return ::isatty(STDIN_FILENO) == 1; }

bool error_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

void write_output(const std::string &text) { std::cout << text << std::flush; }

void write_error(const std::string &text) { std::cerr << text << std::flush; }

std::optional<std::string> read_input_line() {
  std::string line;
  if (!std::getline(std::cin, line))
    return std::nullopt;
  return line;
}

RunTarget find_run_target(const std::string &target, std::uint64_t new_size) {
  if (target.size() == 1)
    return letter_target(target[0]);
  return path_target(target, new_size);
}

} // namespace corvantix::platform
