#include "platform/host/win32/host_files.h"

#include "platform/host/machine/machine.h"
#include "platform/host/win32/dos_attributes.h"
#include "platform/host/win32/win32_types.h"

#include <algorithm>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace corvantix::platform::host {

std::uint32_t win32_code(int error) {
  switch (error) {
  case ENOENT: return ERROR_PATH_NOT_FOUND;
  case EACCES:
  case EPERM:
  case EISDIR: return ERROR_ACCESS_DENIED;
  case EROFS: return ERROR_WRITE_PROTECT;
  case ENOSPC:
  case EDQUOT: return ERROR_DISK_FULL;
  case EEXIST: return ERROR_ALREADY_EXISTS;
  case ENOTDIR: return ERROR_DIRECTORY;
  case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
  case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
  case EIO: return ERROR_IO_DEVICE;
  }
  return ERROR_GEN_FAILURE;
}

void fail(const std::string &path, std::uint32_t code) {
  throw FileError(code, path);
}

void fail_errno(const std::string &path, int error) {
  fail(path, win32_code(error));
}

bool is_drive_path(const std::string &path) {
  return path.size() >= 2 && path[1] == ':' &&
         ((path[0] >= 'A' && path[0] <= 'Z') ||
          (path[0] >= 'a' && path[0] <= 'z'));
}

std::string join_path(const std::string &folder, const std::string &name) {
  if (folder.empty() || folder.back() == '\\' || folder.back() == '/')
    return folder + name;
  return folder + (is_drive_path(folder) ? '\\' : '/') + name;
}

bool is_folder(const fs::path &path) {
  std::error_code error;
  return fs::is_directory(fs::symlink_status(path, error));
}

void require_host_folder(const fs::path &host, const std::string &path) {
  std::error_code error;
  fs::file_status status = fs::symlink_status(host, error);
  if (!fs::exists(status))
    fail(path, ERROR_PATH_NOT_FOUND);
  if (!fs::is_directory(status))
    fail(path, ERROR_DIRECTORY);
}

std::vector<fs::directory_entry> entries_of(const fs::path &host,
                                            const std::string &path) {
  std::error_code error;
  fs::directory_iterator it(host, error);
  if (error)
    fail(path, win32_code(error.value()));
  std::vector<fs::directory_entry> entries;
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error)
      fail(path, win32_code(error.value()));
    if (it->path().filename() != emulation::kSideRecord)
      entries.push_back(*it);
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto &a, const auto &b) { return a.path() < b.path(); });
  return entries;
}

namespace {

bool inside(const fs::path &path, const fs::path &top) {
  auto [end, rest] = std::mismatch(top.begin(), top.end(), path.begin(), path.end());
  return end == top.end();
}

struct Walk {
  fs::path top;               ///< the tree's real path
  std::set<fs::path> ancestors; ///< real paths of the folders being walked
  TreeListing &listing;

  void folder(const fs::path &host, const std::string &path) {
    std::error_code error;
    fs::path real = fs::canonical(host, error);
    if (error)
      fail_errno(path, error.value());
    if (!ancestors.insert(real).second) // a link back to where it is
      fail(path, ERROR_CANT_RESOLVE_FILENAME);
    for (const fs::directory_entry &entry : entries_of(host, path))
      this->entry(entry, join_path(path, entry.path().filename().string()));
    ancestors.erase(real);
  }

  // The type that the folder listing gave is trusted for plain files (no
  // system call when the listing tells it); anything else is looked at
  // closely.
  void entry(const fs::directory_entry &listed, const std::string &path) {
    std::error_code error;
    if (!listed.is_symlink(error) && listed.is_regular_file(error))
      return listing.files.push_back(path);
    const fs::path &host = listed.path();
    struct stat status {};
    if (::lstat(host.c_str(), &status) != 0)
      fail_errno(path);
    if (S_ISLNK(status.st_mode)) {
      fs::path real = fs::canonical(host, error);
      if (error) // dangling, or a circle of links
        fail(path, error.value() == ELOOP ? ERROR_CANT_RESOLVE_FILENAME
                                          : ERROR_FILE_NOT_FOUND);
      if (!inside(real, top))
        fail(path, ERROR_ACCESS_DENIED);
      if (::stat(host.c_str(), &status) != 0)
        fail_errno(path);
    }
    if (S_ISDIR(status.st_mode)) {
      listing.folders.push_back(path);
      folder(host, path);
    } else if (S_ISREG(status.st_mode)) {
      listing.files.push_back(path);
    } else { // a FIFO would hang the copy, a device has no file to copy
      fail(path, ERROR_NOT_SUPPORTED);
    }
  }
};

} // namespace

void walk_tree(const fs::path &host, const std::string &path,
               TreeListing &listing) {
  std::error_code error;
  Walk walk{fs::canonical(host, error), {}, listing};
  if (error)
    fail_errno(path, error.value());
  walk.folder(host, path);
}

int open_source(const std::string &path, struct stat *status) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    fail(path, errno == ENOENT ? ERROR_FILE_NOT_FOUND : win32_code(errno));
  struct stat own {};
  struct stat &info = status ? *status : own;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    fail(path, S_ISDIR(info.st_mode) ? ERROR_ACCESS_DENIED : ERROR_NOT_SUPPORTED);
  }
  return fd;
}

fat::DosTime dos_time_of(std::time_t moment) {
  std::tm local{};
  if (!::localtime_r(&moment, &local) || local.tm_year < 80)
    return {};
  if (local.tm_year > 207)
    return {std::uint16_t(127 << 9 | 12 << 5 | 31), std::uint16_t(23 << 11 | 59 << 5 | 29)};
  return {std::uint16_t((local.tm_year - 80) << 9 | (local.tm_mon + 1) << 5 |
                        local.tm_mday),
          std::uint16_t(local.tm_hour << 11 | local.tm_min << 5 |
                        local.tm_sec / 2)};
}

std::time_t time_of(fat::DosTime written) {
  std::tm local{};
  local.tm_year = (written.date >> 9) + 80;
  local.tm_mon = std::max(1, (written.date >> 5) & 15) - 1;
  local.tm_mday = std::max(1, written.date & 31);
  local.tm_hour = written.time >> 11;
  local.tm_min = (written.time >> 5) & 63;
  local.tm_sec = (written.time & 31) * 2;
  local.tm_isdst = -1;
  return std::mktime(&local);
}

void set_host_attributes(const fs::path &host, const std::string &path,
                         std::uint8_t bits) {
  if (!emulation::set_dos_attributes(host, bits))
    fail(path, ERROR_ACCESS_DENIED);
}

void make_private(const fs::path &host, bool folder) {
  ::chmod(host.c_str(), folder ? 0700 : 0600);
}

void sync_host(const fs::path &host, const std::string &path) {
  int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    fail_errno(path);
  int synced = ::syncfs(fd);
  int error = errno;
  ::close(fd);
  if (synced != 0)
    fail_errno(path, error);
}

void refuse_protected(const fs::path &host, const std::string &path,
                      std::uint8_t protecting) {
  std::error_code error;
  if (fs::exists(fs::symlink_status(host, error)) &&
      (emulation::dos_attributes(host) & protecting))
    fail(path, ERROR_ACCESS_DENIED);
}

Scratch::Scratch() {
  std::string pattern =
      (emulation::Machine::current().state_dir() / "file-XXXXXX").string();
  fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd_ < 0)
    fail_errno(pattern);
  path_ = pattern;
}

Scratch::~Scratch() {
  ::close(fd_);
  ::unlink(path_.c_str());
}

void write_all(int fd, const char *data, std::size_t size,
               const std::string &path) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      fail(path, n < 0 ? win32_code(errno) : ERROR_WRITE_FAULT);
    data += n;
    size -= std::size_t(n);
  }
}

} // namespace corvantix::platform::host
