// The file system of the emulated machine. Drive paths ("E:\sub\f.txt") are
// mapped into the host directory of the mounted volume; other paths are
// host paths. DOS attributes live in the extended attribute of
// dos_attributes.h, and the calls refuse what Windows refuses (replacing a
// read-only or hidden file, deleting a read-only one) even for root.
// Failures carry the Win32 error code that the Windows call would report.
#include "platform/filesystem.h"

#include "platform/host/dos_attributes.h"
#include "platform/host/kernel32_control.h"
#include "platform/host/machine.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvantix::platform {
namespace fs = std::filesystem;
namespace {

// Win32 error codes that these calls report.
constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kPathNotFound = 3;
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kWriteProtect = 19;
constexpr std::uint32_t kNotReady = 21;
constexpr std::uint32_t kWriteFault = 29;
constexpr std::uint32_t kGenFailure = 31;
constexpr std::uint32_t kDiskFull = 112;
constexpr std::uint32_t kDirNotEmpty = 145;
constexpr std::uint32_t kAlreadyExists = 183;
constexpr std::uint32_t kDirectoryInvalid = 267;
constexpr std::uint32_t kIoDevice = 1117;

std::uint32_t win32_code(int error) {
  switch (error) {
  case ENOENT: return kPathNotFound;
  case EACCES:
  case EPERM:
  case EISDIR: return kAccessDenied;
  case EROFS: return kWriteProtect;
  case ENOSPC:
  case EDQUOT: return kDiskFull;
  case EEXIST: return kAlreadyExists;
  case ENOTDIR: return kDirectoryInvalid;
  case ENOTEMPTY: return kDirNotEmpty;
  case EIO: return kIoDevice;
  }
  return kGenFailure;
}

[[noreturn]] void fail(const std::string &path, std::uint32_t code) {
  throw FileError(code, path);
}

[[noreturn]] void fail_errno(const std::string &path, int error = errno) {
  fail(path, win32_code(error));
}

bool is_drive_path(const std::string &path) {
  return path.size() >= 2 && path[1] == ':' &&
         ((path[0] >= 'A' && path[0] <= 'Z') ||
          (path[0] >= 'a' && path[0] <= 'z'));
}

bool ends_with_separator(const std::string &path) {
  return !path.empty() && (path.back() == '\\' || path.back() == '/');
}

std::string with_separators(std::string path, char separator) {
  std::replace_if(
      path.begin(), path.end(), [](char c) { return c == '\\' || c == '/'; },
      separator);
  return path;
}

// The host path behind `path`. A drive path whose letter has no mounted
// volume is not found, as on Windows.
fs::path resolve(const std::string &path) {
  if (!is_drive_path(path))
    return with_separators(path, '/');
  std::string windows = with_separators(path, '\\');
  if (windows.size() == 2)
    windows += '\\';
  auto host = emulation::Machine::current().host_path(windows);
  if (!host)
    fail(path, kPathNotFound);
  return *host;
}

bool is_folder(const fs::path &path) {
  std::error_code error;
  return fs::is_directory(fs::symlink_status(path, error));
}

void require_folder(const fs::path &host, const std::string &path) {
  std::error_code error;
  fs::file_status status = fs::symlink_status(host, error);
  if (!fs::exists(status))
    fail(path, kPathNotFound);
  if (!fs::is_directory(status))
    fail(path, kDirectoryInvalid);
}

// The entries of one folder in name order, so that listings are repeatable.
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
    entries.push_back(*it);
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto &a, const auto &b) { return a.path() < b.path(); });
  return entries;
}

class HostFile : public WritableFile {
public:
  HostFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~HostFile() override { ::close(fd_); }

  // WriteFile takes all of the data or fails, and so does this.
  std::size_t write(const char *data, std::size_t size) override {
    std::size_t done = 0;
    while (done < size) {
      ssize_t n = ::write(fd_, data + done, size - done);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0)
        fail_errno(path_);
      if (n == 0)
        break;
      done += std::size_t(n);
    }
    return done;
  }

  void flush() override {
    if (::fdatasync(fd_) != 0)
      fail_errno(path_);
  }

private:
  int fd_;
  std::string path_;
};

class HostFileSystem : public FileSystem {
public:
  std::string full_path(const std::string &path) override {
    if (is_drive_path(path))
      return path.size() == 2 ? path + '\\' : with_separators(path, '\\');
    return fs::absolute(with_separators(path, '/')).lexically_normal().string();
  }

  std::string join(const std::string &folder,
                   const std::string &name) override {
    if (folder.empty() || ends_with_separator(folder))
      return folder + name;
    return folder + (is_drive_path(folder) ? '\\' : '/') + name;
  }

  std::string temp_folder() override {
    std::error_code error;
    fs::path temp = fs::temp_directory_path(error);
    if (error)
      fail("TMPDIR", win32_code(error.value()));
    return temp.string();
  }

  TreeListing list_tree(const std::string &folder) override {
    fs::path host = resolve(folder);
    require_folder(host, folder);
    TreeListing listing;
    walk(host, folder, listing);
    return listing;
  }

  bool folder_empty(const std::string &folder) override {
    fs::path host = resolve(folder);
    require_folder(host, folder);
    std::error_code error;
    bool empty = fs::is_empty(host, error);
    if (error)
      fail(folder, win32_code(error.value()));
    return empty;
  }

  void create_folders(const std::string &folder) override {
    fs::path host = resolve(folder);
    std::error_code error;
    fs::create_directories(host, error);
    if (error)
      fail(folder, win32_code(error.value()));
  }

  bool create_new_folder(const std::string &folder) override {
    // Owner-only: the host's temporary folder is shared between users.
    if (::mkdir(resolve(folder).c_str(), 0700) == 0)
      return true;
    if (errno == EEXIST)
      return false;
    fail_errno(folder);
  }

  void copy_file(const std::string &from, const std::string &to) override {
    fs::path source = resolve(from);
    fs::path target = resolve(to);
    std::error_code error;
    fs::file_status status = fs::status(source, error);
    if (!fs::exists(status))
      fail(from, kFileNotFound);
    if (fs::is_directory(status))
      fail(from, kAccessDenied);
    if (!is_folder(target.parent_path()))
      fail(to, kPathNotFound);
    refuse_protected(target, to, emulation::kDosReadOnly | emulation::kDosHidden);
    fs::copy_file(source, target, fs::copy_options::overwrite_existing, error);
    if (error)
      fail(to, win32_code(error.value()));
    // The DOS attributes say what is protected; the copy's host permissions
    // must not add a protection of their own.
    fs::permissions(target, fs::perms(0644), error);
    fs::last_write_time(target, fs::last_write_time(source), error);
    if (error || !emulation::set_dos_attributes(
                     target, emulation::dos_attributes(source)))
      fail(to, kAccessDenied);
  }

  std::uint32_t attributes(const std::string &path) override {
    fs::path host = resolve(path);
    std::error_code error;
    fs::file_status status = fs::symlink_status(host, error);
    if (!fs::exists(status))
      fail(path, kFileNotFound);
    std::uint32_t bits = emulation::dos_attributes(host);
    if (fs::is_directory(status))
      bits |= kAttributeDirectory;
    return bits ? bits : kAttributeNormal;
  }

  void set_attributes(const std::string &path,
                      std::uint32_t attributes) override {
    fs::path host = resolve(path);
    std::error_code error;
    if (!fs::exists(fs::symlink_status(host, error)))
      fail(path, kFileNotFound);
    auto bits = std::uint8_t(attributes & (kAttributeReadOnly | kAttributeHidden |
                                           kAttributeSystem | kAttributeArchive));
    if (!emulation::set_dos_attributes(host, bits))
      fail(path, kAccessDenied);
  }

  void delete_tree(const std::string &folder) override {
    fs::path host = resolve(folder);
    require_folder(host, folder);
    remove_tree(host, folder);
  }

  std::unique_ptr<WritableFile> create_file(const std::string &path) override {
    fs::path host = resolve(path);
    if (!is_folder(host.parent_path()))
      fail(path, kPathNotFound);
    if (is_folder(host))
      fail(path, kAccessDenied);
    refuse_protected(host, path,
                     emulation::kDosReadOnly | emulation::kDosHidden |
                         emulation::kDosSystem);
    int fd = ::open(host.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
      fail_errno(path);
    auto file = std::make_unique<HostFile>(fd, path);
    if (!emulation::set_dos_attributes(host, emulation::kDosArchive))
      fail(path, kAccessDenied);
    return file;
  }

  void random_bytes(void *buffer, std::size_t size) override {
    auto *bytes = static_cast<unsigned char *>(buffer);
    while (size > 0) {
      ssize_t n = ::getrandom(bytes, size, 0);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0)
        fail_errno("getrandom");
      bytes += n;
      size -= std::size_t(n);
    }
  }

  bool volume_ready(const std::string &root) override {
    if (!is_drive_path(root))
      return is_folder(with_separators(root, '/'));
    std::string drive = root.substr(0, 2) + '\\';
    auto host = emulation::Machine::current().host_path(drive);
    return host && is_folder(*host);
  }

private:
  static void refuse_protected(const fs::path &host, const std::string &path,
                               std::uint8_t protecting) {
    std::error_code error;
    if (fs::exists(fs::symlink_status(host, error)) &&
        (emulation::dos_attributes(host) & protecting))
      fail(path, kAccessDenied);
  }

  void walk(const fs::path &host, const std::string &path,
            TreeListing &listing) {
    for (const fs::directory_entry &entry : entries_of(host, path)) {
      std::string shown = join(path, entry.path().filename().string());
      std::error_code error;
      if (entry.is_directory(error) && !entry.is_symlink(error)) {
        listing.folders.push_back(shown);
        walk(entry.path(), shown, listing);
      } else {
        listing.files.push_back(shown);
      }
    }
  }

  // Children first; a read-only entry stops the deletion where it is.
  void remove_tree(const fs::path &host, const std::string &path) {
    for (const fs::directory_entry &entry : entries_of(host, path)) {
      std::string shown = join(path, entry.path().filename().string());
      std::error_code error;
      if (entry.is_directory(error) && !entry.is_symlink(error))
        remove_tree(entry.path(), shown);
      else
        remove_entry(entry.path(), shown);
    }
    remove_entry(host, path);
  }

  static void remove_entry(const fs::path &host, const std::string &path) {
    if (emulation::dos_attributes(host) & emulation::kDosReadOnly)
      fail(path, kAccessDenied);
    std::error_code error;
    fs::remove(host, error);
    if (error)
      fail(path, win32_code(error.value()));
  }
};

} // namespace

FileSystem &native_file_system() {
  static HostFileSystem file_system;
  return file_system;
}

} // namespace corvantix::platform
