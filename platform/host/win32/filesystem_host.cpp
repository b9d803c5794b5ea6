// The file system of the emulated machine. Drive paths ("E:\sub\f.txt") go
// to the FAT file system of the mounted volume (drive_files.h). Other paths
// are host paths, whose DOS attributes are kept as dos_attributes.h says;
// what the program writes there is readable by the user alone, since the
// temporary folder is shared. The calls refuse what Windows refuses
// (replacing a read-only or hidden file, deleting a read-only one) even for
// root. Failures carry the Win32 error code that the Windows call reports.
#include "platform/filesystem.h"

#include "platform/host/machine/machine.h"
#include "platform/host/win32/dos_attributes.h"
#include "platform/host/win32/drive_files.h"
#include "platform/host/win32/host_files.h"
#include "platform/host/win32/win32_types.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvantix::platform {
namespace {

using namespace host;

constexpr std::uint8_t kProtected = emulation::kDosReadOnly | emulation::kDosHidden;

fs::path host_path(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

class HostFile : public WritableFile {
public:
  HostFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~HostFile() override { ::close(fd_); }

  std::size_t write(const char *data, std::size_t size) override {
    write_all(fd_, data, size, path_);
    return size;
  }

  void flush() override {
    if (::fdatasync(fd_) != 0)
      fail_errno(path_);
  }

private:
  int fd_;
  std::string path_;
};

// A host file may be written at `target`: its folder exists and no folder
// or file carrying a bit of `refused` is in the way.
void host_writable(const fs::path &target, const std::string &path,
                   std::uint8_t refused) {
  if (!is_folder(target.parent_path()))
    fail(path, ERROR_PATH_NOT_FOUND);
  if (is_folder(target))
    fail(path, ERROR_ACCESS_DENIED);
  refuse_protected(target, path, refused);
}

void copy_host_file(const std::string &from, const std::string &to) {
  fs::path source = host_path(from), target = host_path(to);
  ::close(open_source(source.string()));
  std::uint8_t bits = emulation::dos_attributes(source);
  host_writable(target, to, kProtected);
  std::error_code error;
  fs::copy_file(source, target, fs::copy_options::overwrite_existing, error);
  if (error)
    fail(to, win32_code(error.value()));
  // The DOS attributes say what is protected; the copy's host permissions
  // must not add a protection of their own.
  make_private(target, false);
  fs::last_write_time(target, fs::last_write_time(source), error);
  if (error)
    fail(to, ERROR_ACCESS_DENIED);
  set_host_attributes(target, to, bits);
}

void create_host_folders(const fs::path &host, const std::string &path) {
  fs::path made;
  for (const fs::path &part : host.lexically_normal()) {
    made /= part;
    if (part.empty() || is_folder(made))
      continue;
    if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST)
      fail_errno(path);
    if (!is_folder(made))
      fail(path, ERROR_ALREADY_EXISTS);
  }
}

std::unique_ptr<WritableFile> create_host_file(const std::string &path,
                                               std::uint8_t refused) {
  fs::path host = host_path(path);
  host_writable(host, path, refused);
  int fd = ::open(host.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0)
    fail_errno(path);
  auto file = std::make_unique<HostFile>(fd, path);
  set_host_attributes(host, path, emulation::kDosArchive);
  return file;
}

void remove_entry(const fs::path &host, const std::string &path) {
  if (emulation::dos_attributes(host) & emulation::kDosReadOnly)
    fail(path, ERROR_ACCESS_DENIED);
  std::error_code error;
  fs::remove(host, error);
  if (error)
    fail(path, win32_code(error.value()));
  emulation::forget_dos_attributes(host);
}

// Children first; a read-only entry stops the deletion where it is.
void remove_tree(const fs::path &host, const std::string &path) {
  for (const fs::directory_entry &entry : entries_of(host, path)) {
    std::string shown = join_path(path, entry.path().filename().string());
    std::error_code error;
    if (entry.is_directory(error) && !entry.is_symlink(error))
      remove_tree(entry.path(), shown);
    else
      remove_entry(entry.path(), shown);
  }
  std::error_code error;
  fs::remove(host / emulation::kSideRecord, error);
  remove_entry(host, path);
}

bool same_contents(const fs::path &a, const fs::path &b) {
  std::ifstream one(a, std::ios::binary), two(b, std::ios::binary);
  return one && two &&
         std::equal(std::istreambuf_iterator<char>(one),
                    std::istreambuf_iterator<char>(),
                    std::istreambuf_iterator<char>(two),
                    std::istreambuf_iterator<char>());
}

class HostFileSystem : public FileSystem {
public:
  std::string full_path(const std::string &path) override {
    if (is_drive_path(path)) {
      std::string full = path.size() == 2 ? path + '\\' : path;
      std::replace(full.begin(), full.end(), '/', '\\');
      return full;
    }
    return fs::absolute(host_path(path)).lexically_normal().string();
  }

  // Host paths are Linux's, where dots and spaces end names like any
  // other character.
  std::string typed_path(const std::string &path) override {
    return is_drive_path(path) ? windows_typed_path(path) : path;
  }

  std::string join(const std::string &folder,
                   const std::string &name) override {
    return join_path(folder, name);
  }

  // The backup lives here, so it must outlive a power loss as %TEMP% does
  // on Windows: /tmp is often in memory, /var/tmp survives a reboot (FHS).
  // A temporary folder that the user sets is taken as it is.
  std::string temp_folder() override {
    std::error_code error;
    bool set = false;
    for (const char *name : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"})
      if (const char *value = std::getenv(name); value && *value)
        set = true;
    fs::path temp = set ? fs::temp_directory_path(error) : fs::path("/var/tmp");
    if (!error && !set && !fs::is_directory(temp, error))
      error = std::make_error_code(std::errc::not_a_directory);
    if (error)
      fail(set ? "TMPDIR" : "/var/tmp", win32_code(error.value()));
    return temp.string();
  }

  // The temporary folder is shared by all users (1777): a folder of that
  // name that another user made is not taken; this user's own beside it,
  // named with the user's number, is.
  std::string private_folder(const std::string &folder) override {
    fs::path host = host_path(folder);
    create_host_folders(host.parent_path(), folder);
    if (emulation::make_private_folder(host) == 0)
      return folder;
    std::string own = folder + "-" + std::to_string(::geteuid());
    if (std::uint32_t code = emulation::make_private_folder(host_path(own)))
      fail(own, code);
    return own;
  }

  TreeListing list_tree(const std::string &folder) override {
    if (is_drive_path(folder))
      return drive::list_tree(folder);
    TreeListing listing;
    fs::path host = host_path(folder);
    require_host_folder(host, folder);
    walk_tree(host, folder, listing);
    return listing;
  }

  bool folder_empty(const std::string &folder) override {
    if (is_drive_path(folder))
      return drive::folder_empty(folder);
    fs::path host = host_path(folder);
    require_host_folder(host, folder);
    return entries_of(host, folder).empty();
  }

  void create_folders(const std::string &folder) override {
    if (is_drive_path(folder))
      return drive::create_folders(folder);
    create_host_folders(host_path(folder), folder);
  }

  bool create_new_folder(const std::string &folder) override {
    if (is_drive_path(folder))
      return drive::create_new_folder(folder);
    // Owner-only: the host's temporary folder is shared between users.
    if (::mkdir(host_path(folder).c_str(), 0700) == 0)
      return true;
    if (errno == EEXIST)
      return false;
    fail_errno(folder);
  }

  void copy_file(const std::string &from, const std::string &to) override {
    auto either = [](const std::string &path) {
      return is_drive_path(path) ? path : host_path(path).string();
    };
    if (is_drive_path(from) || is_drive_path(to))
      return drive::copy_file(either(from), either(to));
    copy_host_file(from, to);
  }

  void copy_tree(const std::string &from, const std::string &to,
                 const CopyProgress &progress = nullptr) override {
    if (is_drive_path(from) && !is_drive_path(to))
      return drive::copy_tree_out(from, host_path(to).string(), progress);
    if (!is_drive_path(from) && is_drive_path(to))
      return drive::copy_tree_in(host_path(from).string(), to, progress);
    FileSystem::copy_tree(from, to, progress);
  }

  // Linux names are what they are: no aliases, and case counts.
  std::optional<std::string> entry_name(const std::string &path) override {
    if (is_drive_path(path))
      return drive::entry_name(path);
    std::error_code error;
    fs::path host = host_path(path);
    if (!fs::exists(fs::symlink_status(host, error)))
      return std::nullopt;
    return host.filename().string();
  }

  void rename(const std::string &from, const std::string &to) override {
    if (is_drive_path(from))
      return drive::rename(from, to);
    if (::rename(host_path(from).c_str(), host_path(to).c_str()) != 0)
      fail_errno(from);
  }

  std::uint64_t tree_bytes(const std::string &folder) override {
    if (is_drive_path(folder))
      return drive::tree_bytes(folder);
    std::uint64_t bytes = 0;
    for (const std::string &file : list_tree(folder).files) {
      struct stat status {};
      if (::stat(host_path(file).c_str(), &status) == 0)
        bytes += std::uint64_t(status.st_size);
    }
    return bytes;
  }

  void verify_tree(const std::string &from, const std::string &to,
                   const CopyProgress &progress = nullptr) override {
    if (!is_drive_path(from) && is_drive_path(to))
      return drive::verify_tree_in(host_path(from).string(), to, progress);
    // Between host folders: the names are the paths, the bytes the files'.
    std::size_t prefix = from.size() + (from.back() == '/' ? 0 : 1);
    TreeListing tree = list_tree(from);
    for (const auto *kind : {&tree.folders, &tree.files})
      for (const std::string &source : *kind) {
        std::string target = join(to, source.substr(prefix));
        std::error_code error;
        bool same = fs::exists(fs::symlink_status(host_path(target), error)) &&
                    (attributes(target) & kKeptBits) ==
                        (attributes(source) & kKeptBits) &&
                    (kind == &tree.folders ||
                     same_contents(host_path(source), host_path(target)));
        if (!same)
          fail(target, ERROR_FILE_CORRUPT);
      }
  }

  std::uint32_t attributes(const std::string &path) override {
    std::uint32_t bits;
    if (is_drive_path(path)) {
      bits = drive::attributes(path);
    } else {
      fs::path host = host_path(path);
      std::error_code error;
      fs::file_status status = fs::symlink_status(host, error);
      if (!fs::exists(status))
        fail(path, ERROR_FILE_NOT_FOUND);
      bits = emulation::dos_attributes(host);
      if (fs::is_directory(status))
        bits |= kAttributeDirectory;
    }
    return bits ? bits : kAttributeNormal;
  }

  void set_attributes(const std::string &path,
                      std::uint32_t attributes) override {
    auto bits = std::uint8_t(attributes & kCopiedFolderBits);
    if (is_drive_path(path))
      return drive::set_attributes(path, bits);
    fs::path host = host_path(path);
    std::error_code error;
    if (!fs::exists(fs::symlink_status(host, error)))
      fail(path, ERROR_FILE_NOT_FOUND);
    set_host_attributes(host, path, bits);
  }

  void delete_tree(const std::string &folder) override {
    if (is_drive_path(folder))
      return drive::delete_tree(folder);
    fs::path host = host_path(folder);
    require_host_folder(host, folder);
    remove_tree(host, folder);
  }

  std::unique_ptr<WritableFile> create_file(const std::string &path) override {
    if (is_drive_path(path))
      return drive::create_file(path);
    return create_host_file(path, kProtected | emulation::kDosSystem);
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
      return is_folder(host_path(root));
    return emulation::Machine::current().volume_image(root[0]).error == 0;
  }

  // Frees the volume of Linux's mounts first: see Machine::release_volume.
  bool volume_in_use(const std::string &root) override {
    return is_drive_path(root) &&
           emulation::Machine::current().release_volume(root[0]) ==
               ERROR_SHARING_VIOLATION;
  }

  std::string volume_user(const std::string &root) override {
    if (!is_drive_path(root))
      return {};
    // A volume lock is refused with ERROR_ACCESS_DENIED while Linux has a
    // partition of the disk mounted.
    auto why = emulation::take_disk_refusal(ERROR_SHARING_VIOLATION);
    if (!why)
      why = emulation::take_disk_refusal(ERROR_ACCESS_DENIED);
    return why.value_or("");
  }

  std::string volume_holder(const std::string &root) override {
    if (!is_drive_path(root))
      return {};
    emulation::Machine &machine = emulation::Machine::current();
    std::lock_guard guard(machine.lock());
    emulation::Disk *disk = machine.disk_by_letter(root[0]);
    return disk && disk->held_open ? disk->held_by : std::string();
  }

  void end_volume_use(const std::string &root, bool changed) override {
    if (is_drive_path(root))
      emulation::Machine::current().give_back_volume(root[0], changed);
  }
};

} // namespace

FileSystem &native_file_system() {
  static HostFileSystem file_system;
  return file_system;
}

} // namespace corvantix::platform
