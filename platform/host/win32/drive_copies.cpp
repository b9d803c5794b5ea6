// The drive's copies: files and trees between a volume and the host, and
// files written to a volume through a scratch file.
#include "platform/host/win32/drive_files.h"

#include "disk/fat/volume.h"
#include "platform/alias.h"
#include "platform/host/machine/fd.h"
#include "platform/host/machine/image_range.h"
#include "platform/host/machine/machine.h"
#include "platform/host/win32/dos_attributes.h"
#include "platform/host/win32/drive_volume.h"
#include "platform/host/win32/entry_times.h"
#include "platform/host/win32/host_files.h"
#include "platform/host/win32/win32_types.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace corvantix::platform::drive {
namespace {

using namespace host;
using emulation::Fd;
using fat::DirEntry;
using fat::FatVolume;

constexpr std::size_t kChunk = 1 << 20; // bytes per read of a file copy

// A name read from a stick becomes a host path component: whatever a
// damaged directory holds, it must not climb out of the backup.
bool safe_on_host(const std::string &name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

// Writes the file; the writer is gone when this returns, so that a file
// that failed after `created` can be deleted.
std::uint32_t write_file(Drive &drive, int source, const std::string &below,
                         std::uint8_t bits, fat::DosTime written,
                         std::vector<char> &buffer, bool &created) {
  fat::FileWriter writer;
  if (std::uint32_t code =
          drive.volume().CreateOrTruncate(below, bits, written, writer))
    return code;
  created = true;
  for (;;) {
    ssize_t n = ::read(source, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return n < 0 ? win32_code(errno) : writer.Close();
    if (std::uint32_t code = writer.Write(buffer.data(), std::size_t(n)))
      return code;
  }
}

// The host file `source` (already open) as the file `below`, with `bits`
// and the time `written`. A file that does not fit leaves nothing behind.
void put_file(Drive &drive, int source, const std::string &below,
              std::uint8_t bits, fat::DosTime written,
              std::vector<char> &buffer) {
  auto there = drive.find(below);
  if (there && (there->folder() || (there->attributes & kProtected)))
    fail(drive.shown(below), ERROR_ACCESS_DENIED);
  bool created = false;
  std::uint32_t code =
      write_file(drive, source, below, bits, written, buffer, created);
  if (code) {
    if (created)
      drive.volume().Delete(below);
    fail(drive.shown(below), code);
  }
}

// The backup's flush at the end of a copy waits for every byte still in
// memory; a large file's pieces are started on their way to the disk as
// they are written, so that the disk writes while the copy reads on.
// Advice only: what the flush promises does not change.
void start_writeback(int fd, off_t at, std::size_t count) {
  constexpr off_t kStartEvery = 8 << 20;
  off_t end = at + off_t(count);
  if (end / kStartEvery != at / kStartEvery)
    ::sync_file_range(fd, end / kStartEvery * kStartEvery - kStartEvery,
                      kStartEvery, SYNC_FILE_RANGE_WRITE);
}

// The drive file `found` as the host file `target`, with its attributes
// and time. A `fresh` target, known to be missing, is made exclusively and
// needs no checks; it then keeps the default archive bit unrecorded.
void get_file(Drive &drive, const Found &found, const fs::path &target,
              const std::string &shown, std::vector<char> &buffer,
              bool fresh = false) {
  if (!fresh && is_folder(target))
    fail(shown, ERROR_ACCESS_DENIED);
  if (!fresh)
    refuse_protected(target, shown, kProtected);
  fat::FileReader reader;
  drive.check(drive.volume().OpenFile(found.below, reader), found.below);
  Fd out(::open(target.c_str(),
                O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC |
                    (fresh ? O_EXCL : O_TRUNC),
                0600));
  if (out.get() < 0)
    fail_errno(shown);
  for (off_t done = 0;;) {
    std::size_t got = 0;
    drive.check(reader.Read(buffer.data(), buffer.size(), got), found.below);
    if (got == 0)
      break;
    write_all(out.get(), buffer.data(), got, shown);
    start_writeback(out.get(), done, got);
    done += off_t(got);
  }
  std::time_t moment = time_of(found.entry.written);
  struct timespec times[2] = {{moment, 0}, {moment, 0}};
  ::futimens(out.get(), times);
  record_creation(out.get(), found.entry);
  std::uint8_t bits = found.entry.attributes & kCopiedBits;
  if (fresh && bits == fat::kArchive)
    return;
  if (!fresh)
    ::fchmod(out.get(), 0600);
  set_host_attributes(target, shown, bits);
}

// Makes what `make` makes at `below`, with an entry that `below` reaches
// only as its short alias moved aside meanwhile.
template <class Make>
void make_beside_alias(Drive &drive, const std::string &below, Make make) {
  std::string folder = parent_of(below);
  platform::make_beside_alias(
      leaf_of(below), "~cvx-aside.tmp",
      [&]() -> std::optional<std::string> {
        auto there = drive.find(below);
        return there ? std::optional(there->name) : std::nullopt;
      },
      [&](const std::string &from, const std::string &to) {
        drive.check(drive.volume().Rename(joined(folder, from), to),
                    joined(folder, from));
      },
      make);
}

} // namespace

void copy_file(const std::string &from, const std::string &to) {
  std::vector<char> buffer(kChunk);
  if (!is_drive_path(to)) {
    Drive drive(from);
    auto there = drive.find(drive.inside());
    if (!there)
      fail(from, ERROR_FILE_NOT_FOUND);
    if (there->folder())
      fail(from, ERROR_ACCESS_DENIED);
    get_file(drive, {drive.inside(), *there}, to, to, buffer);
    sync_host(to, to);
    return;
  }
  std::optional<Scratch> scratch; // one volume to another goes through it
  std::string source = from;
  if (is_drive_path(from)) {
    scratch.emplace();
    copy_file(from, scratch->path().string());
    source = scratch->path().string();
  }
  Drive drive(to);
  struct stat status {};
  Fd in(open_source(source, &status));
  std::uint8_t bits = emulation::dos_attributes(source);
  drive.require_folder(parent_of(drive.inside()));
  if (drive.inside().empty())
    fail(to, ERROR_ACCESS_DENIED);
  put_file(drive, in.get(), drive.inside(), bits ? bits : std::uint8_t(fat::kArchive),
           dos_time_of(status.st_mtime), buffer);
  restore_creation(drive, drive.inside(), in.get());
  drive.commit();
}

void copy_tree_in(const std::string &from, const std::string &to,
                  const CopyProgress &progress) {
  std::string top = fs::path(from).lexically_normal().string();
  while (top.size() > 1 && top.back() == '/')
    top.pop_back();
  require_host_folder(top, from);
  TreeListing tree;
  walk_tree(top, top, tree);
  order_for_copy(tree.folders);
  order_for_copy(tree.files);
  Drive drive(to);
  drive.require_folder(drive.inside());
  auto target_of = [&](const std::string &host) {
    return joined(drive.inside(), relative_to(top, host));
  };
  // What a copy of each entry would refuse, refused before anything is
  // written: a file where a folder goes, a folder or protected file where
  // a file goes.
  for (const std::string &folder : tree.folders) {
    auto there = drive.find(target_of(folder));
    if (there && !there->folder() &&
        same_fat_name(there->name, leaf_of(target_of(folder))))
      fail(drive.shown(target_of(folder)), ERROR_ALREADY_EXISTS);
  }
  for (const std::string &file : tree.files) {
    auto there = drive.find(target_of(file));
    if (there && same_fat_name(there->name, leaf_of(target_of(file))) &&
        (there->folder() || (there->attributes & kProtected)))
      fail(drive.shown(target_of(file)), ERROR_ACCESS_DENIED);
  }
  for (const std::string &folder : tree.folders)
    make_beside_alias(drive, target_of(folder),
                      [&] { make_folder(drive, target_of(folder)); });
  std::vector<char> buffer(kChunk);
  for (const std::string &file : tree.files) {
    struct stat status {};
    Fd in(open_source(file, &status));
    std::uint8_t bits = emulation::dos_attributes(file);
    make_beside_alias(drive, target_of(file), [&] {
      put_file(drive, in.get(), target_of(file), bits ? bits : std::uint8_t(fat::kArchive),
               dos_time_of(status.st_mtime), buffer);
      restore_creation(drive, target_of(file), in.get());
    });
    if (progress)
      progress(std::uint64_t(status.st_size));
  }
  for (const std::string &folder : tree.folders) {
    if (std::uint8_t bits = emulation::dos_attributes(folder) & kCopiedBits)
      drive.check(drive.volume().SetAttributes(target_of(folder), bits),
                  target_of(folder));
    keep_folder_times(drive, target_of(folder), folder);
  }
  drive.commit();
}

void copy_tree_out(const std::string &from, const std::string &to,
                   const CopyProgress &progress) {
  fs::path target = to;
  Drive drive(from);
  std::vector<Found> tree = tree_of(drive);
  require_host_folder(target, to);
  auto host_of = [&](const Found &found) {
    return target / relative_to(drive.inside(), found.below);
  };
  // Into an empty folder (a backup's) every entry is new: nothing there
  // to look at first.
  std::error_code ignored;
  bool empty = fs::is_empty(target, ignored);
  std::vector<bool> fresh;
  for (const Found &found : tree) {
    if (!safe_on_host(found.entry.name))
      fail(drive.shown(found.below), ERROR_FILE_CORRUPT);
    if (empty) {
      fresh.push_back(true);
      continue;
    }
    fs::path host = host_of(found);
    std::error_code error;
    bool exists = fs::exists(fs::symlink_status(host, error));
    fresh.push_back(!exists);
    if (found.entry.folder() && exists && !is_folder(host))
      fail(host.string(), ERROR_ALREADY_EXISTS);
    if (!found.entry.folder() && is_folder(host))
      fail(host.string(), ERROR_ACCESS_DENIED);
    if (!found.entry.folder())
      refuse_protected(host, host.string(), kProtected);
  }
  std::vector<char> buffer(kChunk);
  for (std::size_t i = 0; i < tree.size(); ++i) {
    const Found &found = tree[i];
    fs::path host = host_of(found);
    if (!found.entry.folder()) {
      get_file(drive, found, host, host.string(), buffer, fresh[i]);
      if (progress)
        progress(found.entry.size);
    } else if (::mkdir(host.c_str(), 0700) != 0 && errno != EEXIST) {
      fail_errno(host.string());
    }
  }
  // Deepest first: a folder's times are set when nothing changes in it.
  for (auto found = tree.rbegin(); found != tree.rend(); ++found)
    if (found->entry.folder()) {
      make_private(host_of(*found), true);
      set_host_attributes(host_of(*found), host_of(*found).string(),
                          found->entry.attributes & kCopiedBits);
      keep_folder_times(host_of(*found), found->entry);
    }
  sync_host(target, to);
}

namespace {

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
    write_all(scratch_.fd(), data, size, path_);
    return size;
  }

  void flush() override {
    dirty_ = false;
    Drive drive(path_);
    if (::lseek(scratch_.fd(), 0, SEEK_SET) != 0)
      fail_errno(path_);
    std::vector<char> buffer(kChunk);
    put_file(drive, scratch_.fd(), drive.inside(), fat::kArchive,
             dos_time_of(std::time(nullptr)), buffer);
    drive.commit();
  }

private:
  std::string path_;
  Scratch scratch_;
  bool dirty_ = false;
};

} // namespace

std::unique_ptr<WritableFile> create_file(const std::string &path) {
  {
    Drive drive(path);
    drive.require_folder(parent_of(drive.inside()));
    auto there = drive.find(drive.inside());
    if (drive.inside().empty() ||
        (there && (there->folder() ||
                   (there->attributes & (kProtected | fat::kSystem)))))
      fail(path, ERROR_ACCESS_DENIED);
  }
  auto file = std::make_unique<VolumeFile>(path);
  file->flush(); // created and emptied at once, as CreateFile does
  return file;
}


} // namespace corvantix::platform::drive
