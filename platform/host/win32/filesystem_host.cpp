// The file system of the emulated machine. Drive paths ("E:\sub\f.txt") go
// to the FAT file system of the mounted volume in its image (fat_volume.h):
// each call is in the image when it returns, and free space, names and DOS
// attributes are the file system's own. Other paths are host paths, whose
// DOS attributes are kept as dos_attributes.h says; what the program writes
// there is readable by the user alone, since the temporary folder is shared.
// The calls refuse what Windows refuses (replacing a read-only or hidden
// file, deleting a read-only one) even for root. Failures carry the Win32
// error code that the Windows call would report.
#include "platform/filesystem.h"

#include "platform/host/win32/dos_attributes.h"
#include "platform/host/machine/fat_volume.h"
#include "platform/host/machine/machine.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvantix::platform {
namespace fs = std::filesystem;
using emulation::FatEntry;
using emulation::FatVolume;
using emulation::ToolResult;

namespace {

// Win32 error codes that these calls report.
constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kPathNotFound = 3;
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kWriteProtect = 19;
constexpr std::uint32_t kWriteFault = 29;
constexpr std::uint32_t kReadFault = 30;
constexpr std::uint32_t kGenFailure = 31;
constexpr std::uint32_t kDiskFull = 112;
constexpr std::uint32_t kDirNotEmpty = 145;
constexpr std::uint32_t kAlreadyExists = 183;
constexpr std::uint32_t kDirectoryInvalid = 267;
constexpr std::uint32_t kIoDevice = 1117;
constexpr std::uint32_t kSharingViolation = 32;
constexpr std::uint32_t kDeviceNotConnected = 1167;

constexpr std::uint8_t kProtected = emulation::kDosReadOnly | emulation::kDosHidden;

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

// The code for a tool that failed: a full disk and a missing path are
// told apart from other failures.
std::uint32_t tool_code(const ToolResult &result, std::uint32_t otherwise) {
  if (result.device_gone)
    return kDeviceNotConnected;
  std::string said = result.err + result.out;
  if (said.find("Disk full") != std::string::npos ||
      said.find("No free cluster") != std::string::npos)
    return kDiskFull;
  if (said.find("not found") != std::string::npos)
    return kPathNotFound;
  return otherwise;
}

void check(const ToolResult &result, const std::string &path,
           std::uint32_t otherwise = kWriteFault) {
  if (!result.ok())
    fail(path, tool_code(result, otherwise));
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

fs::path host_path(const std::string &path) {
  return with_separators(path, '/');
}

// "E:\a\.\b\..\c" -> "a/c": the path below the volume's root.
std::string below_drive(const std::string &path) {
  std::vector<std::string> parts;
  std::string rest = with_separators(path.substr(2), '/'), part;
  for (std::size_t start = 0; start <= rest.size();) {
    std::size_t end = rest.find('/', start);
    if (end == std::string::npos)
      end = rest.size();
    part = rest.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty())
        parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string joined;
  for (const std::string &p : parts)
    joined += (joined.empty() ? "" : "/") + p;
  return joined;
}

// `path` below `folder` ('/'-separated, "" for the folder itself).
std::string relative_to(const std::string &folder, const std::string &path) {
  return folder.empty() ? path : path.substr(std::min(path.size(), folder.size() + 1));
}

// The volume behind a drive path, held for one call: the machine stays
// locked, so no lock, format or dismount comes between the tools.
class Drive {
public:
  explicit Drive(const std::string &path)
      : machine_(emulation::Machine::current()), guard_(machine_.lock()),
        where_(machine_.volume_image(path[0])), volume_(where_.image, where_.offset),
        inside_(below_drive(path)) {
    if (where_.error)
      fail(path, where_.error);
  }

  const FatVolume &volume() const { return volume_; }
  /// The path below the root.
  const std::string &inside() const { return inside_; }

  /// The entry at `path` below the root; nullopt when missing.
  std::optional<FatEntry> find(const std::string &path) const {
    return volume_.find(path);
  }

  /// The folder at `path`, which must be one; `shown` names it in failures.
  void require_folder(const std::string &path, const std::string &shown) const {
    auto entry = find(path);
    if (!entry)
      fail(shown, kPathNotFound);
    if (!entry->folder)
      fail(shown, kDirectoryInvalid);
  }

  /// Checks that a file may be written at `path`: its folder exists, and
  /// no folder or file carrying a bit of `refused` is in the way.
  void require_writable(const std::string &path, const std::string &shown,
                        std::uint8_t refused) const {
    auto parent = find(emulation::parent_of(path));
    if (path.empty() || !parent || !parent->folder)
      fail(shown, kPathNotFound);
    auto entry = find(path);
    if (entry && (entry->folder || (entry->attributes & refused)))
      fail(shown, kAccessDenied);
  }

  /// Puts the host file `source` at `path` and gives it exactly `bits`.
  void put(const fs::path &source, const std::string &path,
           const std::string &shown, std::uint8_t bits) const {
    check(volume_.run("mcopy", {"-m", "-D", "oO", source.string(),
                                FatVolume::target(path)}),
          shown);
    if (bits != emulation::kDosArchive)
      set(path, shown, bits);
  }

  void set(const std::string &path, const std::string &shown,
           std::uint8_t bits) const {
    std::vector<std::string> args = FatVolume::attribute_args(bits);
    args.push_back(FatVolume::target(path));
    check(volume_.run("mattrib", args), shown);
  }

private:
  emulation::Machine &machine_;
  std::lock_guard<std::recursive_mutex> guard_;
  emulation::Machine::VolumeImage where_;
  FatVolume volume_;
  std::string inside_;
};

// A private file of the machine, owner-only, deleted with the object.
class Scratch {
public:
  Scratch() {
    std::string pattern =
        (emulation::Machine::current().state_dir() / "file-XXXXXX").string();
    fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ < 0)
      fail_errno(pattern);
    path_ = pattern;
  }
  ~Scratch() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  Scratch(const Scratch &) = delete;
  Scratch &operator=(const Scratch &) = delete;
  int fd() const { return fd_; }
  const fs::path &path() const { return path_; }

private:
  int fd_;
  fs::path path_;
};

// WriteFile takes all of the data or fails, and so does this.
std::size_t write_all(int fd, const char *data, std::size_t size,
                      const std::string &path) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      fail_errno(path);
    if (n == 0)
      break;
    done += std::size_t(n);
  }
  return done;
}

class HostFile : public WritableFile {
public:
  HostFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~HostFile() override { ::close(fd_); }

  std::size_t write(const char *data, std::size_t size) override {
    return write_all(fd_, data, size, path_);
  }

  void flush() override {
    if (::fdatasync(fd_) != 0)
      fail_errno(path_);
  }

private:
  int fd_;
  std::string path_;
};

// A file on a volume: the bytes gather in a private scratch file, and
// flush() puts the whole file into the image. Closing puts what flush()
// has not; a failure there can only be told on standard error, which is
// why the writers flush before they close.
class VolumeFile : public WritableFile {
public:
  explicit VolumeFile(std::string path) : path_(std::move(path)) {}
  ~VolumeFile() override {
    if (!dirty_)
      return;
    try {
      flush();
    } catch (const FileError &e) {
      std::fprintf(stderr, "%s: %s\n", path_.c_str(), e.what());
    }
  }

  std::size_t write(const char *data, std::size_t size) override {
    dirty_ = true;
    return write_all(scratch_.fd(), data, size, path_);
  }

  void flush() override {
    dirty_ = false;
    Drive drive(path_);
    drive.put(scratch_.path(), drive.inside(), path_, emulation::kDosArchive);
  }

private:
  std::string path_;
  Scratch scratch_;
  bool dirty_ = false;
};

bool is_folder(const fs::path &path) {
  std::error_code error;
  return fs::is_directory(fs::symlink_status(path, error));
}

void require_host_folder(const fs::path &host, const std::string &path) {
  std::error_code error;
  fs::file_status status = fs::symlink_status(host, error);
  if (!fs::exists(status))
    fail(path, kPathNotFound);
  if (!fs::is_directory(status))
    fail(path, kDirectoryInvalid);
}

// The entries of one host folder in name order, so that listings are
// repeatable; the side record of the attributes is not one of them.
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

// A host file that a copy may not replace.
void refuse_protected(const fs::path &host, const std::string &path,
                      std::uint8_t protecting) {
  std::error_code error;
  if (fs::exists(fs::symlink_status(host, error)) &&
      (emulation::dos_attributes(host) & protecting))
    fail(path, kAccessDenied);
}

// Owner-only, as everything the program writes on the host.
void make_private(const fs::path &host, bool folder) {
  ::chmod(host.c_str(), folder ? 0700 : 0600);
}

// Puts what was copied out of a stick on the host's disk before the
// stick is changed: a backup must survive a power loss.
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

void set_host_attributes(const fs::path &host, const std::string &path,
                         std::uint8_t bits) {
  if (!emulation::set_dos_attributes(host, bits))
    fail(path, kAccessDenied);
}

class HostFileSystem : public FileSystem {
public:
  std::string full_path(const std::string &path) override {
    if (is_drive_path(path))
      return path.size() == 2 ? path + '\\' : with_separators(path, '\\');
    return fs::absolute(host_path(path)).lexically_normal().string();
  }

  std::string join(const std::string &folder,
                   const std::string &name) override {
    if (folder.empty() || ends_with_separator(folder))
      return folder + name;
    return folder + (is_drive_path(folder) ? '\\' : '/') + name;
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

  TreeListing list_tree(const std::string &folder) override {
    TreeListing listing;
    if (!is_drive_path(folder)) {
      fs::path host = host_path(folder);
      require_host_folder(host, folder);
      walk(host, folder, listing);
      return listing;
    }
    Drive drive(folder);
    for (const FatEntry &entry : drive_tree(drive, folder)) {
      std::string shown = join(
          folder, with_separators(relative_to(drive.inside(), entry.path), '\\'));
      (entry.folder ? listing.folders : listing.files).push_back(shown);
    }
    return listing;
  }

  bool folder_empty(const std::string &folder) override {
    if (!is_drive_path(folder)) {
      fs::path host = host_path(folder);
      require_host_folder(host, folder);
      return entries_of(host, folder).empty();
    }
    Drive drive(folder);
    drive.require_folder(drive.inside(), folder);
    auto entries = drive.volume().list(drive.inside(), false);
    if (!entries)
      fail(folder, kReadFault);
    return entries->empty();
  }

  void create_folders(const std::string &folder) override {
    if (!is_drive_path(folder))
      return create_host_folders(host_path(folder), folder);
    Drive drive(folder);
    std::string made;
    for (const std::string &part : split(drive.inside())) {
      made += (made.empty() ? "" : "/") + part;
      if (drive.volume().run("mmd", {FatVolume::target(made)}).ok())
        continue;
      auto entry = drive.find(made);
      if (!entry)
        fail(folder, kPathNotFound);
      if (!entry->folder)
        fail(folder, kAlreadyExists);
    }
  }

  bool create_new_folder(const std::string &folder) override {
    if (!is_drive_path(folder)) {
      // Owner-only: the host's temporary folder is shared between users.
      if (::mkdir(host_path(folder).c_str(), 0700) == 0)
        return true;
      if (errno == EEXIST)
        return false;
      fail_errno(folder);
    }
    Drive drive(folder);
    if (drive.inside().empty())
      return false;
    drive.require_folder(emulation::parent_of(drive.inside()), folder);
    if (drive.volume().run("mmd", {FatVolume::target(drive.inside())}).ok())
      return true;
    if (drive.find(drive.inside()))
      return false;
    fail(folder, kPathNotFound);
  }

  void copy_file(const std::string &from, const std::string &to) override {
    bool from_drive = is_drive_path(from), to_drive = is_drive_path(to);
    if (!from_drive && !to_drive)
      return copy_host_file(from, to);
    if (from_drive && !to_drive)
      return copy_from_drive(from, to);
    Drive drive(to);
    std::optional<Scratch> scratch;
    fs::path source = host_path(from);
    std::uint8_t bits;
    if (from_drive) { // one volume to another, through a private copy
      scratch.emplace();
      copy_from_drive(from, scratch->path().string());
      source = scratch->path();
      bits = emulation::dos_attributes(source);
    } else {
      bits = host_source(source, from);
    }
    drive.require_writable(drive.inside(), to, kProtected);
    drive.put(source, drive.inside(), to, bits);
  }

  void copy_tree(const std::string &from, const std::string &to) override {
    if (is_drive_path(from) && !is_drive_path(to))
      return copy_tree_from_drive(from, to);
    if (!is_drive_path(from) && is_drive_path(to))
      return copy_tree_to_drive(from, to);
    FileSystem::copy_tree(from, to);
  }

  std::uint32_t attributes(const std::string &path) override {
    std::uint32_t bits;
    if (is_drive_path(path)) {
      Drive drive(path);
      auto entry = drive.find(drive.inside());
      if (!entry)
        fail(path, kFileNotFound);
      bits = entry->attributes;
      if (entry->folder)
        bits |= kAttributeDirectory;
    } else {
      fs::path host = host_path(path);
      std::error_code error;
      fs::file_status status = fs::symlink_status(host, error);
      if (!fs::exists(status))
        fail(path, kFileNotFound);
      bits = emulation::dos_attributes(host);
      if (fs::is_directory(status))
        bits |= kAttributeDirectory;
    }
    return bits ? bits : kAttributeNormal;
  }

  void set_attributes(const std::string &path,
                      std::uint32_t attributes) override {
    auto bits = std::uint8_t(attributes & (kAttributeReadOnly | kAttributeHidden |
                                           kAttributeSystem | kAttributeArchive));
    if (!is_drive_path(path)) {
      fs::path host = host_path(path);
      std::error_code error;
      if (!fs::exists(fs::symlink_status(host, error)))
        fail(path, kFileNotFound);
      return set_host_attributes(host, path, bits);
    }
    Drive drive(path);
    if (!drive.find(drive.inside()))
      fail(path, kFileNotFound);
    if (!drive.inside().empty()) // the root has no entry to carry them
      drive.set(drive.inside(), path, bits);
  }

  void delete_tree(const std::string &folder) override {
    if (!is_drive_path(folder)) {
      fs::path host = host_path(folder);
      require_host_folder(host, folder);
      return remove_tree(host, folder);
    }
    Drive drive(folder);
    auto self = drive.find(drive.inside());
    if (!self)
      fail(folder, kPathNotFound);
    if (!self->folder)
      fail(folder, kDirectoryInvalid);
    if (drive.inside().empty() || (self->attributes & emulation::kDosReadOnly))
      fail(folder, kAccessDenied);
    for (const FatEntry &entry : drive_tree(drive, folder))
      if (entry.attributes & emulation::kDosReadOnly)
        fail(join(folder, with_separators(
                              relative_to(drive.inside(), entry.path), '\\')),
             kAccessDenied);
    check(drive.volume().run("mdeltree", {FatVolume::target(drive.inside())}),
          folder);
  }

  std::unique_ptr<WritableFile> create_file(const std::string &path) override {
    constexpr std::uint8_t kRefused = kProtected | emulation::kDosSystem;
    if (!is_drive_path(path))
      return create_host_file(path, kRefused);
    {
      Drive drive(path);
      drive.require_writable(drive.inside(), path, kRefused);
    }
    auto file = std::make_unique<VolumeFile>(path);
    file->flush(); // created and emptied at once, as CreateFile does
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
      return is_folder(host_path(root));
    return emulation::Machine::current().volume_image(root[0]).error == 0;
  }

  bool volume_in_use(const std::string &root) override {
    return is_drive_path(root) &&
           emulation::Machine::current().volume_image(root[0]).error ==
               kSharingViolation;
  }

private:
  static std::vector<std::string> split(const std::string &path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start < path.size()) {
      std::size_t end = path.find('/', start);
      if (end == std::string::npos)
        end = path.size();
      parts.push_back(path.substr(start, end - start));
      start = end + 1;
    }
    return parts;
  }

  // Every entry below the drive folder `shown`, which must be a folder.
  static std::vector<FatEntry> drive_tree(const Drive &drive,
                                          const std::string &shown) {
    drive.require_folder(drive.inside(), shown);
    auto entries = drive.volume().list(drive.inside(), true);
    if (!entries)
      fail(shown, kReadFault);
    return *entries;
  }

  // The attributes of a host file that is to be copied.
  static std::uint8_t host_source(const fs::path &source,
                                  const std::string &path) {
    std::error_code error;
    fs::file_status status = fs::status(source, error);
    if (!fs::exists(status))
      fail(path, kFileNotFound);
    if (fs::is_directory(status))
      fail(path, kAccessDenied);
    return emulation::dos_attributes(source);
  }

  // A host file may be written at `target`: its folder exists and no
  // folder or protected file is in the way.
  static void host_writable(const fs::path &target, const std::string &path,
                            std::uint8_t refused) {
    if (!is_folder(target.parent_path()))
      fail(path, kPathNotFound);
    if (is_folder(target))
      fail(path, kAccessDenied);
    refuse_protected(target, path, refused);
  }

  void copy_host_file(const std::string &from, const std::string &to) {
    fs::path source = host_path(from), target = host_path(to);
    std::uint8_t bits = host_source(source, from);
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
      fail(to, kAccessDenied);
    set_host_attributes(target, to, bits);
  }

  void copy_from_drive(const std::string &from, const std::string &to) {
    fs::path target = host_path(to);
    Drive drive(from);
    auto entry = drive.find(drive.inside());
    if (!entry)
      fail(from, kFileNotFound);
    if (entry->folder)
      fail(from, kAccessDenied);
    host_writable(target, to, kProtected);
    check(drive.volume().run("mcopy", {"-m", "-n", "-o",
                                       FatVolume::target(entry->path),
                                       target.string()}),
          from, kReadFault);
    make_private(target, false);
    set_host_attributes(target, to, entry->attributes);
    sync_host(target, to);
  }

  // One copy out of the image for the whole tree, then the names that
  // mtools misspelled and the attributes.
  void copy_tree_from_drive(const std::string &from, const std::string &to) {
    fs::path target = host_path(to);
    Drive drive(from);
    std::vector<FatEntry> entries = drive_tree(drive, from);
    require_host_folder(target, to);
    auto host_of = [&](const FatEntry &entry, bool as_tool) {
      std::string below = as_tool ? entry.tool : entry.path;
      return target / relative_to(drive.inside(), below);
    };
    for (const FatEntry &entry : entries) {
      fs::path host = host_of(entry, false);
      std::string shown = join(to, relative_to(drive.inside(), entry.path));
      if (entry.folder && fs::exists(host) && !is_folder(host))
        fail(shown, kAlreadyExists);
      if (!entry.folder) {
        if (is_folder(host))
          fail(shown, kAccessDenied);
        refuse_protected(host, shown, kProtected);
      }
    }
    if (entries.empty())
      return;
    check(drive.volume().run(
              "mcopy", {"-s", "-m", "-n", "-o",
                        FatVolume::target(drive.inside().empty()
                                              ? "*"
                                              : drive.inside() + "/*"),
                        target.string() + "/"}),
          from, kReadFault);
    // Deepest first, so that a folder's misspelled children are renamed
    // inside it before the folder itself.
    std::vector<const FatEntry *> misspelled;
    for (const FatEntry &entry : entries)
      if (entry.tool != entry.path)
        misspelled.push_back(&entry);
    std::stable_sort(misspelled.begin(), misspelled.end(),
                     [](const FatEntry *a, const FatEntry *b) {
                       return std::count(a->path.begin(), a->path.end(), '/') >
                              std::count(b->path.begin(), b->path.end(), '/');
                     });
    for (const FatEntry *entry : misspelled) {
      fs::path wrong = host_of(*entry, true);
      std::error_code error;
      fs::rename(wrong, wrong.parent_path() / emulation::leaf_of(entry->path),
                 error);
      if (error)
        fail(to, win32_code(error.value()));
    }
    for (const FatEntry &entry : entries) {
      fs::path host = host_of(entry, false);
      make_private(host, entry.folder);
      if (!entry.folder)
        set_host_attributes(host, host.string(), entry.attributes);
    }
    sync_host(target, to);
  }

  // One copy into the image for the whole tree, after the checks that a
  // copy of each file would make, then one attribute call per group of
  // files that want the same bits.
  void copy_tree_to_drive(const std::string &from, const std::string &to) {
    std::string top = host_path(from).string();
    while (top.size() > 1 && top.back() == '/')
      top.pop_back();
    fs::path source = top;
    require_host_folder(source, from);
    TreeListing tree;
    walk(source, source.string(), tree);
    Drive drive(to);
    std::vector<FatEntry> present = drive_tree(drive, to);
    std::map<std::u32string, const FatEntry *> by_name;
    for (const FatEntry &entry : present)
      by_name[emulation::fat_key(entry.path)] = &entry;
    auto target_of = [&](const std::string &host) {
      std::string below = host.substr(std::min(host.size(), source.string().size() + 1));
      return drive.inside().empty() ? below : drive.inside() + "/" + below;
    };
    auto existing = [&](const std::string &path) -> const FatEntry * {
      auto found = by_name.find(emulation::fat_key(path));
      return found == by_name.end() ? nullptr : found->second;
    };
    for (const std::string &folder : tree.folders) {
      const FatEntry *there = existing(target_of(folder));
      if (there && !there->folder)
        fail(join(to, with_separators(relative_to(drive.inside(), there->path), '\\')),
             kAlreadyExists);
    }
    std::map<std::uint8_t, std::vector<std::string>> by_bits;
    for (const std::string &file : tree.files) {
      std::string path = target_of(file);
      const FatEntry *there = existing(path);
      if (there && (there->folder || (there->attributes & kProtected)))
        fail(join(to, with_separators(relative_to(drive.inside(), path), '\\')),
             kAccessDenied);
      std::uint8_t bits = emulation::dos_attributes(file);
      if (bits != emulation::kDosArchive)
        by_bits[bits].push_back(FatVolume::target(path));
    }
    if (holds_side_records(source, tree))
      copy_folder_by_folder(drive, source, tree, present, to);
    else
      copy_in_one(drive, source, from, to);
    constexpr std::size_t kPerCall = 500;
    for (const auto &[bits, paths] : by_bits)
      for (std::size_t at = 0; at < paths.size(); at += kPerCall) {
        std::vector<std::string> args = FatVolume::attribute_args(bits);
        args.insert(args.end(), paths.begin() + at,
                    paths.begin() + std::min(paths.size(), at + kPerCall));
        check(drive.volume().run("mattrib", args), to);
      }
  }

  // A side record must not reach the volume: no FAT name holds a colon.
  static bool holds_side_records(const fs::path &source,
                                 const TreeListing &tree) {
    std::error_code error;
    if (fs::exists(source / emulation::kSideRecord, error))
      return true;
    for (const std::string &folder : tree.folders)
      if (fs::exists(fs::path(folder) / emulation::kSideRecord, error))
        return true;
    return false;
  }

  static std::string folder_target(const std::string &path) {
    return FatVolume::target(path) + (path.empty() ? "" : "/");
  }

  void copy_in_one(const Drive &drive, const fs::path &source,
                   const std::string &from, const std::string &to) {
    std::vector<std::string> copy = {"-s", "-m", "-D", "oO"};
    for (const fs::directory_entry &top : entries_of(source, from))
      copy.push_back(top.path().string());
    if (copy.size() == 4)
      return;
    copy.push_back(folder_target(drive.inside()));
    check(drive.volume().run("mcopy", copy), to);
  }

  // The missing folders in one call, then one copy per folder of the
  // files it holds, named one by one.
  void copy_folder_by_folder(const Drive &drive, const fs::path &source,
                             const TreeListing &tree,
                             const std::vector<FatEntry> &present,
                             const std::string &to) {
    std::string top = source.string();
    auto below = [&](const std::string &host) {
      std::string rest = host.substr(std::min(host.size(), top.size() + 1));
      return drive.inside().empty() ? rest
             : rest.empty()         ? drive.inside()
                                    : drive.inside() + "/" + rest;
    };
    std::map<std::u32string, bool> known;
    for (const FatEntry &entry : present)
      known[emulation::fat_key(entry.path)] = true;
    std::vector<std::string> made;
    for (const std::string &folder : tree.folders)
      if (!known.count(emulation::fat_key(below(folder))))
        made.push_back(FatVolume::target(below(folder)));
    if (!made.empty())
      check(drive.volume().run("mmd", made), to);
    std::map<std::string, std::vector<std::string>> by_folder;
    for (const std::string &file : tree.files)
      by_folder[emulation::parent_of(below(file))].push_back(file);
    for (auto &[folder, files] : by_folder) {
      std::vector<std::string> copy = {"-m", "-D", "oO"};
      copy.insert(copy.end(), files.begin(), files.end());
      copy.push_back(folder_target(folder));
      check(drive.volume().run("mcopy", copy), to);
    }
  }

  static void create_host_folders(const fs::path &host,
                                  const std::string &path) {
    fs::path made;
    for (const fs::path &part : host.lexically_normal()) {
      made /= part;
      if (part.empty() || is_folder(made))
        continue;
      if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST)
        fail_errno(path);
      if (!is_folder(made))
        fail(path, kAlreadyExists);
    }
  }

  static std::unique_ptr<WritableFile>
  create_host_file(const std::string &path, std::uint8_t refused) {
    fs::path host = host_path(path);
    host_writable(host, path, refused);
    int fd = ::open(host.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
      fail_errno(path);
    auto file = std::make_unique<HostFile>(fd, path);
    set_host_attributes(host, path, emulation::kDosArchive);
    return file;
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
    std::error_code error;
    fs::remove(host / emulation::kSideRecord, error);
    remove_entry(host, path);
  }

  static void remove_entry(const fs::path &host, const std::string &path) {
    if (emulation::dos_attributes(host) & emulation::kDosReadOnly)
      fail(path, kAccessDenied);
    std::error_code error;
    fs::remove(host, error);
    if (error)
      fail(path, win32_code(error.value()));
    emulation::forget_dos_attributes(host);
  }
};

} // namespace

FileSystem &native_file_system() {
  static HostFileSystem file_system;
  return file_system;
}

} // namespace corvantix::platform
