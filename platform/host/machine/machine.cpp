// The emulated machine: its disks, their images, volumes and faults.
#include "platform/host/machine/machine.h"

#include "platform/host/machine/demo_machine.h"
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
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

namespace corvantix::emulation {
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMiB = 1 << 20;

std::uint32_t le32(const unsigned char *p) {
  return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24;
}

bool read_at(const fs::path &image, std::uint64_t offset, unsigned char *out,
             std::size_t size, std::uint64_t wrap) {
  std::ifstream in(image, std::ios::binary);
  return !wrapped_pieces(wrap, offset, size,
                         [&](std::uint64_t at, std::uint64_t done,
                             std::uint64_t count) {
    in.seekg(std::streamoff(at));
    return !in.read(reinterpret_cast<char *>(out + done),
                    std::streamsize(count));
  });
}

std::string upper_id(std::string text, std::size_t width) {
  text = text.substr(0, width);
  for (char &c : text)
    c = std::isalnum(static_cast<unsigned char>(c))
            ? char(std::toupper(static_cast<unsigned char>(c)))
            : '_';
  return text;
}

// The device instance identifier Windows gives such a disk.
std::string pnp_id_for(const DiskConfig &config, int number) {
  std::string model = config.model;
  std::size_t space = model.find(' ');
  std::string vendor = space == std::string::npos ? model : model.substr(0, space);
  std::string product = space == std::string::npos ? "" : model.substr(space + 1);
  char serial[32];
  std::snprintf(serial, sizeof serial, "%08X", 0xC0DE0000u + unsigned(number));
  std::string type = upper_id(config.interface_type, 16);
  if (type == "USB")
    return "USBSTOR\\DISK&VEN_" + upper_id(vendor, 8) + "&PROD_" +
           upper_id(product, 16) + "&REV_1.00\\CVX" + serial + "&0";
  if (type == "IDE") {
    std::string name = upper_id(model, 40);
    name.resize(40, '_');
    return "IDE\\DISK" + name + "1.0_____\\5&" + serial + "&0&0.0." +
           std::to_string(number);
  }
  return type + "\\DISK&VEN_" + upper_id(vendor, 8) + "&PROD_" +
         upper_id(product, 16) + "\\4&" + serial + "&0&00000" +
         std::to_string(number);
}

// The first partition of the image's MBR, in bytes; nullopt without one.
struct Extent {
  std::uint64_t offset, length;
};
std::optional<Extent> first_partition(const Disk &disk) {
  unsigned char mbr[512];
  if (!read_at(disk.config.image, 0, mbr, sizeof mbr, disk.config.real_size) ||
      mbr[510] != 0x55 || mbr[511] != 0xAA)
    return std::nullopt;
  const unsigned char *entry = mbr + 446;
  std::uint64_t unit = disk.config.sector_size;
  if (entry[4] == 0 || le32(entry + 12) == 0)
    return std::nullopt;
  Extent extent{le32(entry + 8) * unit, le32(entry + 12) * unit};
  std::uint64_t size = disk.size();
  if (extent.offset >= size)
    return std::nullopt;
  extent.length = std::min(extent.length, size - extent.offset);
  return extent;
}

// Folds a counterfeit stick's image, written in full as the shop formats
// it, onto the `keep` bytes it really has: every written extent beyond them
// goes to its offset mod `keep`, in ascending order, so that the later
// writes win as on a wrapping controller; holes were never written and
// fold nothing. Then the image is cut to `keep` bytes. 0 or errno.
int fold_image(const fs::path &image, std::uint64_t keep) {
  int fd = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0)
    return errno;
  std::vector<char> buffer(kMiB);
  off_t end = ::lseek(fd, 0, SEEK_END);
  int failed = end < 0 ? errno : 0;
  for (off_t at = off_t(keep); !failed && at < end;) {
    off_t data = ::lseek(fd, at, SEEK_DATA);
    if (data < 0) {
      failed = errno == ENXIO ? 0 : errno; // ENXIO: only a hole is left
      break;
    }
    off_t hole = ::lseek(fd, data, SEEK_HOLE);
    if (hole < 0) {
      failed = errno;
      break;
    }
    for (at = data; !failed && at < hole;) {
      ssize_t got = ::pread(fd, buffer.data(),
                            std::min<std::size_t>(buffer.size(), hole - at), at);
      if (got <= 0) {
        failed = got < 0 ? errno : EIO;
        break;
      }
      failed = wrapped_pieces(keep, std::uint64_t(at), std::uint64_t(got),
                              [&](std::uint64_t to, std::uint64_t done,
                                  std::uint64_t count) {
        ssize_t put = ::pwrite(fd, buffer.data() + done, count, off_t(to));
        return put == ssize_t(count) ? 0 : put < 0 ? errno : EIO;
      });
      at += got;
    }
  }
  if (!failed && ::ftruncate(fd, off_t(keep)) != 0)
    failed = errno;
  ::close(fd);
  return failed;
}

// The images this process holds, by device and inode, so that machines
// of one process share a lock that keeps other programs out.
std::mutex locks_mutex;
std::map<std::pair<dev_t, ino_t>, std::weak_ptr<ImageLock>> held_locks;

// A new image, sparse, of the configured size; false when there is one
// already. A size that the host file system cannot hold throws, naming the
// image, and leaves no file behind.
bool make_image(const DiskConfig &config) {
  std::error_code error;
  if (fs::exists(fs::symlink_status(config.image, error)) ||
      config.new_size == 0)
    return false;
  auto refuse = [&](int code) {
    throw Error("Could not make the image '" + config.image.string() +
                "' of " + std::to_string(config.new_size) +
                " bytes: " + std::strerror(code));
  };
  if (config.image.has_parent_path())
    fs::create_directories(config.image.parent_path(), error);
  int fd = ::open(config.image.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                  0666);
  if (fd < 0)
    refuse(errno);
  int failed = 0;
  if (config.new_size > std::uint64_t(std::numeric_limits<off_t>::max()))
    failed = EFBIG;
  else if (::ftruncate(fd, off_t(config.new_size)) != 0)
    failed = errno;
  ::close(fd);
  // The shop formats the size a counterfeit stick claims; what lies beyond
  // the size it keeps folds down.
  if (!failed && config.new_image_formatted)
    failed = format_like_shop(config.image, config.new_size);
  if (!failed && config.real_size)
    failed = fold_image(config.image, config.real_size);
  if (failed) {
    ::unlink(config.image.c_str());
    refuse(failed);
  }
  return true;
}

std::mutex current_mutex;

std::unique_ptr<Machine> current_machine;

} // namespace

struct ImageLock {
  explicit ImageLock(int fd) : fd(fd) {}
  ~ImageLock() { ::close(fd); } // closing ends the flock
  int fd;
};

namespace {

// This process's lock on `image`; null when another program holds it.
// An image that cannot be opened has nothing to guard.
std::shared_ptr<ImageLock> lock_image(const fs::path &image, bool &in_use) {
  in_use = false;
  int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat info;
  if (fd < 0 || ::fstat(fd, &info) != 0) {
    if (fd >= 0)
      ::close(fd);
    return nullptr;
  }
  std::lock_guard guard(locks_mutex);
  auto key = std::make_pair(info.st_dev, info.st_ino);
  if (auto held = held_locks[key].lock()) {
    ::close(fd);
    return held;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    in_use = errno == EWOULDBLOCK;
    ::close(fd);
    return nullptr;
  }
  auto lock = std::make_shared<ImageLock>(fd);
  held_locks[key] = lock;
  return lock;
}

} // namespace

std::uint64_t Disk::size() const {
  if (config.block_device)
    return block_device_size(config.image);
  std::error_code error;
  std::uint64_t bytes = fs::file_size(config.image, error);
  if (error)
    return 0;
  return config.real_size ? config.new_size : bytes;
}

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

std::unique_lock<std::recursive_mutex> Machine::hold_disk_with_letter(char letter) {
  std::shared_ptr<std::recursive_mutex> busy;
  if (Disk *disk = disk_by_letter(letter))
    busy = disk->busy;
  // The disks stay as long as the machine: the lock outlives this guard.
  return busy ? std::unique_lock(*busy) : std::unique_lock<std::recursive_mutex>();
}

std::unique_lock<std::recursive_mutex> Machine::hold_disk(int number) {
  std::shared_ptr<std::recursive_mutex> busy;
  if (Disk *disk = disk_by_number(number))
    busy = disk->busy;
  return busy ? std::unique_lock(*busy) : std::unique_lock<std::recursive_mutex>();
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

std::uint32_t sync_to_medium(const std::string &path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return win32_error_of(errno);
  std::uint32_t code = ::fsync(fd) == 0 ? 0 : win32_error_of(errno);
  ::close(fd);
  return code;
}

std::uint32_t flush_device(const std::string &node) {
  return is_block_device(node) ? sync_to_medium(node) : 0;
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
