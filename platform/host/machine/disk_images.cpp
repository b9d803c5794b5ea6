// The disks' images: made as the shop leaves a stick, folded onto what a
// counterfeit stick keeps, locked against other programs, and read for
// their partition table.
#include "platform/host/machine/disk_images.h"

#include "platform/host/machine/demo_machine.h"
#include "platform/host/machine/image_range.h"
#include "platform/host/machine/linux_disks.h"
#include "strings/error.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <vector>

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

} // namespace

ImageLock::~ImageLock() { ::close(fd); } // closing ends the flock

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

// The first partition of the image's MBR, in bytes; nullopt without one.
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

std::uint64_t Disk::size() const {
  if (config.block_device)
    return block_device_size(config.image);
  std::error_code error;
  std::uint64_t bytes = fs::file_size(config.image, error);
  if (error)
    return 0;
  return config.real_size ? config.new_size : bytes;
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

} // namespace corvantix::emulation
