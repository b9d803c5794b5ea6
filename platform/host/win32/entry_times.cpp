#include "platform/host/win32/entry_times.h"

#include "platform/host/win32/host_files.h"

#include <array>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace corvantix::platform::host {
namespace {

constexpr const char *kCreated = "user.doscreated";

// Date, time (little-endian) and hundredths, as the FAT entry holds them.
using Stamp = std::array<unsigned char, 5>;

Stamp stamp_of(const fat::DirEntry &entry) {
  return {std::uint8_t(entry.created.date), std::uint8_t(entry.created.date >> 8),
          std::uint8_t(entry.created.time), std::uint8_t(entry.created.time >> 8),
          entry.created_hundredths};
}

void set_creation(drive::Drive &drive, const std::string &below,
                  const Stamp &stamp) {
  fat::DosTime created{std::uint16_t(stamp[0] | stamp[1] << 8),
                       std::uint16_t(stamp[2] | stamp[3] << 8)};
  drive.check(drive.volume().SetCreationTime(below, created, stamp[4]), below);
}

} // namespace

// A host file system without user attributes keeps no creation times: the
// copy goes on without them.
void record_creation(int fd, const fat::DirEntry &entry) {
  Stamp stamp = stamp_of(entry);
  ::fsetxattr(fd, kCreated, stamp.data(), stamp.size(), 0);
}

void restore_creation(drive::Drive &drive, const std::string &below, int fd) {
  Stamp stamp;
  if (::fgetxattr(fd, kCreated, stamp.data(), stamp.size()) == ssize_t(stamp.size()))
    set_creation(drive, below, stamp);
}

void keep_folder_times(const std::filesystem::path &host,
                       const fat::DirEntry &entry) {
  std::time_t written = time_of(entry.written);
  struct timespec times[2] = {{written, 0}, {written, 0}};
  ::utimensat(AT_FDCWD, host.c_str(), times, AT_SYMLINK_NOFOLLOW);
  Stamp stamp = stamp_of(entry);
  ::lsetxattr(host.c_str(), kCreated, stamp.data(), stamp.size(), 0);
}

void keep_folder_times(drive::Drive &drive, const std::string &below,
                       const std::filesystem::path &host) {
  struct stat status {};
  if (::lstat(host.c_str(), &status) != 0)
    fail_errno(host.string());
  drive.check(drive.volume().SetWriteTime(below, dos_time_of(status.st_mtime)),
              below);
  Stamp stamp;
  if (::lgetxattr(host.c_str(), kCreated, stamp.data(), stamp.size()) ==
      ssize_t(stamp.size()))
    set_creation(drive, below, stamp);
}

} // namespace corvantix::platform::host
