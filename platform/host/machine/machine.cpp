// The emulated machine: its disks, their volumes, refusals and faults.
#include "platform/host/machine/machine.h"

#include "platform/host/machine/disk_images.h"
#include "platform/host/machine/fat_probe.h"
#include "platform/host/machine/image_range.h"
#include "platform/host/machine/linux_disks.h"
#include "platform/host/machine/machine_choice.h"
#include "platform/host/win32/win32_types.h"
#include "strings/error.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace corvantix::emulation {
namespace fs = std::filesystem;

namespace {

std::mutex current_mutex;

std::unique_ptr<Machine> current_machine;

} // namespace

Machine &Machine::current() {
  std::lock_guard guard(current_mutex);
  if (!current_machine) {
    // A fresh name that no other user can have planted.
    std::string state = (fs::temp_directory_path() /
                         "corvantix-machine-XXXXXX").string();
    if (!::mkdtemp(state.data()))
      throw Error("Could not make the machine's folder '" + state +
                  "': " + std::strerror(errno));
    std::vector<DiskConfig> disks =
        chosen_machine(std::getenv("CORVANTIX_MACHINE"));
    current_machine = std::make_unique<Machine>(std::move(disks), state);
  }
  return *current_machine;
}

void Machine::install(std::unique_ptr<Machine> machine) {
  std::unique_ptr<Machine> old;
  {
    std::lock_guard guard(current_mutex);
    old = std::move(current_machine);
    current_machine = std::move(machine);
  }
  // `old` shuts down here, outside the lock.
}

Machine::Machine(std::vector<DiskConfig> disks, fs::path state_dir)
    : state_dir_(fs::absolute(state_dir)) {
  // Owner-only: it lies in the shared temporary folder.
  std::error_code parent_error;
  fs::create_directories(state_dir_.parent_path(), parent_error);
  if (make_private_folder(state_dir_) != 0)
    throw Error("The machine's folder '" + state_dir_.string() +
                "' is not this user's own.");
  std::vector<fs::path> made; // all images are made, or none
  try {
    for (DiskConfig &config : disks) {
      config.image = fs::absolute(config.image);
      if (make_image(config))
        made.push_back(config.image);
    }
  } catch (...) {
    for (const fs::path &image : made)
      ::unlink(image.c_str());
    std::error_code error;
    fs::remove(state_dir_, error);
    throw;
  }
  for (DiskConfig &config : disks) {
    Disk disk;
    disk.number = int(disks_.size());
    disk.pnp_id = config.pnp_id.empty() ? pnp_id_for(config, disk.number)
                                        : config.pnp_id;
    disk.config = std::move(config);
    disks_.push_back(std::move(disk));
  }
  for (Disk &disk : disks_) {
    claim(disk);
    mount(disk);
  }
}

Machine::~Machine() {
  std::lock_guard guard(mutex_);
  std::error_code error;
  fs::remove(state_dir_, error); // only when empty: it may be shared
}

Disk *Machine::disk_by_number(int number) {
  std::lock_guard guard(mutex_);
  for (Disk &disk : disks_)
    if (disk.number == number)
      return &disk;
  return nullptr;
}

namespace {

// The disks stay as long as the machine: the lock outlives the guard.
std::unique_lock<std::recursive_mutex> hold(const Disk *disk) {
  return disk ? std::unique_lock(*disk->busy)
              : std::unique_lock<std::recursive_mutex>();
}

} // namespace

std::unique_lock<std::recursive_mutex> Machine::hold_disk_with_letter(char letter) {
  return hold(disk_by_letter(letter));
}

std::unique_lock<std::recursive_mutex> Machine::hold_disk(int number) {
  return hold(disk_by_number(number));
}

Disk *Machine::disk_by_letter(char letter) {
  std::lock_guard guard(mutex_);
  letter = char(std::toupper(static_cast<unsigned char>(letter)));
  for (Disk &disk : disks_)
    if (letter && std::toupper(static_cast<unsigned char>(disk.config.letter)) ==
                      letter)
      return &disk;
  return nullptr;
}

Disk *Machine::disk_by_pnp_id(const std::string &pnp_id) {
  std::lock_guard guard(mutex_);
  for (Disk &disk : disks_)
    if (strcasecmp(disk.pnp_id.c_str(), pnp_id.c_str()) == 0)
      return &disk;
  return nullptr;
}

bool Machine::claim(Disk &disk) {
  std::lock_guard guard(mutex_);
  if (!disk.image_lock)
    disk.image_lock = lock_image(disk.config.image, disk.in_use);
  return !disk.in_use;
}

bool Machine::mount(Disk &disk) {
  std::lock_guard guard(mutex_);
  if (disk.mounted)
    return true;
  if (!disk.volume_present() || !claim(disk))
    return false;
  auto extent = first_partition(disk);
  std::uint64_t wrap = disk.config.real_size;
  if (!extent || !holds_mountable_fat(disk.config.image, extent->offset,
                                     extent->length, wrap))
    return false;
  // What our FAT code cannot take up, Windows does not mount either.
  ImageRange range(disk.config.image.string(), extent->offset, extent->length,
                   wrap);
  std::unique_ptr<fat::FatVolume> volume;
  if (range.Error() || fat::FatVolume::Mount(range, volume) != 0)
    return false;
  disk.volume_offset = extent->offset;
  disk.volume_length = extent->length;
  disk.mounted = true;
  disk.stale = false;
  disk.dismounted = false;
  return true;
}

void Machine::dismount(Disk &disk) {
  std::lock_guard guard(mutex_);
  if (!disk.mounted && !disk.dismounted)
    return;
  disk.mounted = false;
  disk.stale = false;
  disk.dismounted = false;
  disk.volume_locked = false;
  disk.exclusive.reset();
  for (auto &[id, handle] : handles_)
    if (handle.disk == disk.number)
      handle.locking = false;
}

void Machine::unlock(Disk &disk) {
  std::lock_guard guard(mutex_);
  disk.volume_locked = false;
  disk.exclusive.reset();
  for (auto &[id, handle] : handles_)
    if (handle.disk == disk.number)
      handle.locking = false;
  // Windows mounts a dismounted volume on its next use.
  if (disk.dismounted) {
    disk.dismounted = false;
    mount(disk);
  }
}

Machine::VolumeImage Machine::volume_image(char letter) {
  constexpr std::uint32_t kPathNotFound = 3, kSharingViolation = 32;
  std::lock_guard guard(mutex_);
  Disk *disk = disk_by_letter(letter);
  if (disk && disk->volume_present() && !claim(*disk))
    return {"", 0, 0, kSharingViolation};
  // A RAW volume: Windows names what is missing rather than the path.
  if (disk && disk->volume_present() && !disk->mounted && !disk->dismounted &&
      !disk->volume_locked)
    return {"", 0, 0, ERROR_UNRECOGNIZED_VOLUME};
  if (!disk || !disk->mounted || disk->volume_locked || disk->stale)
    return {"", 0, 0, kPathNotFound};
  // A stick pulled out: its volume is gone with it.
  if (disk->config.block_device &&
      disk->size() < disk->volume_offset + disk->volume_length)
    return {"", 0, 0, ERROR_DEVICE_NOT_CONNECTED};
  return {disk->config.image.string(), disk->volume_offset,
          disk->volume_length, 0, disk->config.real_size};
}

std::uint32_t Machine::hold_device(Disk &disk) {
  std::lock_guard guard(mutex_);
  if (!disk.config.block_device || disk.exclusive)
    return 0;
  refusals_.erase(std::this_thread::get_id());
  if (auto linux_disk = describe_block_device(disk.config.image)) {
    std::vector<std::string> points =
        mount_points_on(*linux_disk, read_mountinfo());
    if (!points.empty())
      return refuse(ERROR_ACCESS_DENIED,
                    mounted_disk_message(disk.config.image.string(), points));
  }
  // O_EXCL keeps Linux from mounting it (and fails while it is mounted or
  // used as swap, which mountinfo does not show).
  int fd = ::open(disk.config.image.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  if (fd < 0)
    return win32_error_of(errno);
  disk.exclusive = std::make_shared<ImageLock>(fd);
  return 0;
}

std::uint32_t Machine::release_volume(char letter) {
  std::lock_guard guard(mutex_);
  Disk *disk = disk_by_letter(letter);
  if (!disk || !disk->volume_present())
    return 0;
  if (!claim(*disk))
    return ERROR_SHARING_VIOLATION;
  auto linux_disk = disk->config.block_device && !disk->exclusive
                        ? describe_block_device(disk->config.image)
                        : std::nullopt;
  if (!linux_disk)
    return 0;
  refusals_.erase(std::this_thread::get_id());
  bool unmounted = false;
  std::string mountinfo = read_mountinfo();
  std::string why = release_disk(
      *linux_disk, mountinfo, read_mountinfo("/proc/swaps"),
      [&](const std::string &point) {
        unmounted = true;
        if (::umount2(point.c_str(), 0) != 0)
          return errno;
        disk->unmounted.push_back(mount_at(mountinfo, point));
        tell_unmounted(disk->unmounted.back());
        return 0;
      });
  if (!why.empty())
    return refuse(ERROR_SHARING_VIOLATION, std::move(why));
  int fd = ::open(disk->config.image.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  if (fd < 0)
    return errno == EBUSY ? ERROR_SHARING_VIOLATION : 0;
  // What the kernel wrote through a partition's node while it was mounted
  // is not in the whole disk's cache, which our reads go through.
  if (unmounted)
    ::ioctl(fd, BLKFLSBUF, 0);
  ::close(fd);
  return 0;
}

std::uint32_t Machine::hold_volume(char letter, std::string program,
                                   std::uint32_t share_mode, int refusals) {
  std::lock_guard guard(mutex_);
  Disk *disk = disk_by_letter(letter);
  if (!disk || !disk->volume_present())
    return ERROR_FILE_NOT_FOUND;
  if (disk->volume_locked)
    return ERROR_ACCESS_DENIED;
  disk->held_open = true;
  disk->held_by = std::move(program);
  disk->held_share_mode = share_mode;
  disk->held_refusals_left = refusals;
  return 0;
}

void Machine::holder_refused(Disk &disk) {
  std::lock_guard guard(mutex_);
  if (disk.held_refusals_left > 0 && --disk.held_refusals_left == 0) {
    disk.held_open = false;
    disk.held_by.clear();
  }
}

std::uint32_t Machine::refuse(std::uint32_t code, std::string why) {
  refusals_[std::this_thread::get_id()] = {code, std::move(why)};
  return code;
}

std::optional<std::string> Machine::take_refusal(std::uint32_t code) {
  std::lock_guard guard(mutex_);
  auto found = refusals_.find(std::this_thread::get_id());
  if (found == refusals_.end() || found->second.first != code)
    return std::nullopt;
  std::string why = std::move(found->second.second);
  refusals_.erase(found);
  return why;
}

std::optional<std::string> take_disk_refusal(std::uint32_t code) {
  std::lock_guard guard(current_mutex);
  return current_machine ? current_machine->take_refusal(code) : std::nullopt;
}

std::uint32_t make_private_folder(const fs::path &folder) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    return win32_error_of(errno);
  struct stat status {};
  if (::lstat(folder.c_str(), &status) != 0)
    return win32_error_of(errno);
  if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid() ||
      (status.st_mode & (S_IWGRP | S_IWOTH)))
    return ERROR_ACCESS_DENIED;
  return 0;
}

void Machine::fail_call(const std::string &function, std::uint32_t code,
                        int skip) {
  std::lock_guard guard(mutex_);
  faults_[function].push_back({code, skip, nullptr});
}

void Machine::act_on_call(const std::string &function,
                          std::function<void()> action, int skip) {
  std::lock_guard guard(mutex_);
  faults_[function].push_back({0, skip, std::move(action)});
}

std::optional<std::uint32_t> Machine::take_fault(const std::string &function) {
  std::lock_guard guard(mutex_);
  auto found = faults_.find(function);
  if (found == faults_.end() || found->second.empty())
    return std::nullopt;
  Fault &next = found->second.front();
  if (next.skip > 0) {
    --next.skip;
    return std::nullopt;
  }
  Fault taken = std::move(next);
  found->second.erase(found->second.begin());
  if (taken.action) {
    taken.action();
    return std::nullopt;
  }
  return taken.code;
}

void Machine::clear_faults() {
  std::lock_guard guard(mutex_);
  faults_.clear();
}

} // namespace corvantix::emulation
