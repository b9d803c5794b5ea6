// What the host file system's two halves share: failures with the Win32
// codes that Windows would report, the DOS attributes and times of host
// files, and the walk of a host folder tree.
#pragma once

#include "disk/fat/volume.h"
#include "platform/filesystem.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace corvantix::platform::host {

namespace fs = std::filesystem;

[[noreturn]] void fail(const std::string &path, std::uint32_t code);
[[noreturn]] void fail_errno(const std::string &path, int error = errno);
std::uint32_t win32_code(int error);

bool is_drive_path(const std::string &path);
/// The entries of one host folder in name order, so that listings are
/// repeatable; the side record of the attributes is not one of them.
std::vector<fs::directory_entry> entries_of(const fs::path &host,
                                            const std::string &path);
bool is_folder(const fs::path &path);
void require_host_folder(const fs::path &host, const std::string &path);
/// `name` inside `folder`, with a separator of the folder's kind.
std::string join_path(const std::string &folder, const std::string &name);

/// Every folder and file below a host folder. A copy takes files and
/// folders only: a FIFO, socket or device, a link that leads out of the
/// tree or in a circle fails the listing, naming the entry. Links to
/// files and folders inside the tree are followed.
void walk_tree(const fs::path &host, const std::string &path,
               TreeListing &listing);

/// Opens a host file that is to be copied: a regular file, never waiting
/// on a FIFO put in its place. `status`, when given, receives its stat.
int open_source(const std::string &path, struct stat *status = nullptr);

/// The DOS date and time of a moment, in local time as FAT keeps it, and
/// back.
fat::DosTime dos_time_of(std::time_t moment);
std::time_t time_of(fat::DosTime written);

void set_host_attributes(const fs::path &host, const std::string &path,
                         std::uint8_t bits);
/// Owner-only, as everything the program writes on the host.
void make_private(const fs::path &host, bool folder);
/// Puts what was copied out of a stick on the host's disk before the
/// stick is changed: a backup must survive a power loss.
void sync_host(const fs::path &host, const std::string &path);
/// A host file that a copy may not replace.
void refuse_protected(const fs::path &host, const std::string &path,
                      std::uint8_t protecting);

/// A private file of the machine, owner-only, deleted with the object.
class Scratch {
public:
  Scratch();
  ~Scratch();
  Scratch(const Scratch &) = delete;
  Scratch &operator=(const Scratch &) = delete;
  int fd() const { return fd_; }
  const fs::path &path() const { return path_; }

private:
  int fd_;
  fs::path path_;
};

/// Writes all of `size` bytes, as WriteFile does, or fails.
void write_all(int fd, const char *data, std::size_t size,
               const std::string &path);

} // namespace corvantix::platform::host
