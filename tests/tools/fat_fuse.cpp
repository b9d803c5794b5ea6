// corvantix_fat_fuse: serves the FAT file system of a partition (a block
// device or an image file, whole) as a Linux mount, through the project's
// own FAT library, so that Wine sees a stick's volume as Windows' FAT
// driver would show it. For the whole run of the Windows build under Wine.
//
//   corvantix_fat_fuse <partition> <mount point> [FUSE options]
//
// Runs in the foreground until unmounted (fusermount3 -u). Nothing is
// cached between calls, neither here nor by the kernel: after every change
// the volume is flushed, so that a raw write to the disk beneath meets no
// waiting FAT sector and a new mount reads the medium as it is. A file
// open for writing is held in memory and written back whole when its
// last handle is closed. Wine keeps the hidden and system bits in the
// extended attribute user.DOSATTRIB, which maps onto the entry's bits;
// read-only is the missing write permission.
#define FUSE_USE_VERSION 31

#include "disk/fat/volume.h"
#include "platform/host/machine/image_range.h"
#include "platform/host/win32/host_files.h"
#include "platform/win32api.h"

#include <fuse.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace fat = corvantix::fat;
namespace host = corvantix::platform::host;

namespace {

constexpr const char *kDosAttributes = "user.DOSATTRIB";
constexpr std::uint8_t kXattrBits = fat::kHidden | fat::kSystem;

/// A file open for writing, shared by all of its handles.
struct OpenFile {
  std::vector<char> bytes;
  std::uint8_t attributes = fat::kArchive;
  fat::DosTime written;
  bool dirty = false;
  int handles = 0;
};

struct Server {
  std::unique_ptr<fat::BlockIo> io;
  std::unique_ptr<fat::FatVolume> volume;
  std::map<std::string, std::shared_ptr<OpenFile>> open; ///< by path
};

Server &server() {
  return *static_cast<Server *>(fuse_get_context()->private_data);
}

/// The library's path for a FUSE path: no leading '/'.
std::string_view inner(const char *path) {
  return *path == '/' ? std::string_view(path + 1) : std::string_view(path);
}

int errno_of(std::uint32_t code) {
  switch (code) {
  case 0: return 0;
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND: return -ENOENT;
  case ERROR_ALREADY_EXISTS:
  case ERROR_FILE_EXISTS: return -EEXIST;
  case ERROR_ACCESS_DENIED: return -EACCES;
  case ERROR_DIR_NOT_EMPTY: return -ENOTEMPTY;
  case ERROR_DISK_FULL: return -ENOSPC;
  case ERROR_FILENAME_EXCED_RANGE: return -ENAMETOOLONG;
  case ERROR_INVALID_NAME: return -EINVAL;
  default: return -EIO;
  }
}

/// Puts every change on the medium; the code of the first failure.
int settle(std::uint32_t code) {
  std::uint32_t flushed = server().volume->Flush();
  return errno_of(code ? code : flushed);
}

int find(const char *path, fat::DirEntry &entry) {
  if (inner(path).empty()) {
    entry = {};
    entry.attributes = fat::kDirectory;
    return 0;
  }
  return errno_of(server().volume->Find(inner(path), entry));
}

std::shared_ptr<OpenFile> open_file(const char *path) {
  auto it = server().open.find(path);
  return it == server().open.end() ? nullptr : it->second;
}

int read_whole(const char *path, std::vector<char> &bytes) {
  fat::FileReader reader;
  if (int failed = errno_of(server().volume->OpenFile(inner(path), reader)))
    return failed;
  bytes.clear();
  char chunk[65536];
  for (std::size_t got = 1; got;) {
    if (int failed = errno_of(reader.Read(chunk, sizeof chunk, got)))
      return failed;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  return 0;
}

int write_back(const char *path, OpenFile &file) {
  fat::FileWriter writer;
  std::uint32_t code = server().volume->CreateOrTruncate(
      inner(path), file.attributes & ~fat::kReadOnly, file.written, writer);
  if (!code && !file.bytes.empty())
    code = writer.Write(file.bytes.data(), file.bytes.size());
  if (!code)
    code = writer.Close();
  // Read-only goes on last: it would refuse the truncation.
  if (!code && (file.attributes & fat::kReadOnly))
    code = server().volume->SetAttributes(inner(path), file.attributes);
  if (!code)
    file.dirty = false;
  return settle(code);
}

int do_getattr(const char *path, struct stat *st, fuse_file_info *) {
  fat::DirEntry entry;
  if (int failed = find(path, entry))
    return failed;
  std::memset(st, 0, sizeof *st);
  bool writable = !(entry.attributes & fat::kReadOnly);
  if (entry.folder()) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
  } else {
    st->st_mode = S_IFREG | (writable ? 0644 : 0444);
    st->st_nlink = 1;
    st->st_size = entry.size;
    if (auto file = open_file(path))
      st->st_size = off_t(file->bytes.size());
  }
  st->st_mtime = st->st_ctime = st->st_atime = host::time_of(entry.written);
  st->st_uid = getuid();
  st->st_gid = getgid();
  st->st_blksize = server().volume->ClusterBytes();
  st->st_blocks = (st->st_size + 511) / 512;
  return 0;
}

int do_readdir(const char *path, void *buffer, fuse_fill_dir_t fill, off_t,
               fuse_file_info *, fuse_readdir_flags) {
  std::vector<fat::DirEntry> entries;
  if (int failed = errno_of(server().volume->List(inner(path), entries)))
    return failed;
  fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags(0));
  fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags(0));
  for (const fat::DirEntry &entry : entries)
    if (!(entry.attributes & fat::kVolumeLabel))
      fill(buffer, entry.name.c_str(), nullptr, 0, fuse_fill_dir_flags(0));
  return 0;
}

int do_mkdir(const char *path, mode_t) {
  return settle(server().volume->CreateFolder(inner(path),
                                              host::dos_time_of(std::time(nullptr))));
}

int do_unlink(const char *path) { return settle(server().volume->Delete(inner(path))); }

/// A rename inside one folder, replacing a file of the new name as POSIX
/// does; across folders the caller copies.
int do_rename(const char *from, const char *to, unsigned int flags) {
  std::string_view a = inner(from), b = inner(to);
  auto parent = [](std::string_view path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
  };
  if (parent(a) != parent(b))
    return -EXDEV;
  fat::DirEntry source, target;
  if (int failed = errno_of(server().volume->Find(a, source)))
    return failed;
  // A new case of the same name finds the entry itself.
  if (server().volume->Find(b, target) == 0 && target.short_name != source.short_name) {
    if (flags & RENAME_NOREPLACE)
      return -EEXIST;
    if (int failed = settle(server().volume->Delete(b)))
      return failed;
  }
  std::string_view name = b.substr(parent(b).empty() ? 0 : parent(b).size() + 1);
  return settle(server().volume->Rename(a, name));
}

int do_chmod(const char *path, mode_t mode, fuse_file_info *) {
  fat::DirEntry entry;
  if (int failed = find(path, entry))
    return failed;
  std::uint8_t bits = entry.attributes & ~fat::kReadOnly & ~fat::kDirectory;
  if (!(mode & 0222))
    bits |= fat::kReadOnly;
  if (auto file = open_file(path))
    file->attributes = bits;
  return settle(server().volume->SetAttributes(inner(path), bits));
}

int do_utimens(const char *path, const timespec times[2], fuse_file_info *) {
  std::time_t moment = times[1].tv_nsec == UTIME_NOW ? std::time(nullptr) : times[1].tv_sec;
  if (times[1].tv_nsec == UTIME_OMIT)
    return 0;
  fat::DosTime written = host::dos_time_of(moment);
  if (auto file = open_file(path))
    file->written = written;
  return settle(server().volume->SetWriteTime(inner(path), written));
}

int do_truncate(const char *path, off_t size, fuse_file_info *) {
  if (auto file = open_file(path)) {
    file->bytes.resize(std::size_t(size));
    file->dirty = true;
    return 0;
  }
  fat::DirEntry entry;
  if (int failed = find(path, entry))
    return failed;
  OpenFile file;
  if (int failed = read_whole(path, file.bytes))
    return failed;
  file.bytes.resize(std::size_t(size));
  file.attributes = entry.attributes;
  file.written = host::dos_time_of(std::time(nullptr));
  return write_back(path, file);
}

/// Holds the file in memory from its first handle that may write on.
int hold(const char *path, fuse_file_info *fi, bool created) {
  fi->direct_io = 1;
  if (!(fi->flags & (O_WRONLY | O_RDWR)) && !created)
    return 0;
  auto file = open_file(path);
  if (!file) {
    fat::DirEntry entry;
    if (int failed = find(path, entry))
      return failed;
    file = std::make_shared<OpenFile>();
    file->attributes = entry.attributes;
    file->written = entry.written;
    if (!created && !(fi->flags & O_TRUNC))
      if (int failed = read_whole(path, file->bytes))
        return failed;
    server().open[path] = file;
  }
  if (fi->flags & O_TRUNC) {
    file->bytes.clear();
    file->dirty = true;
  }
  ++file->handles;
  fi->fh = 1; // a handle that writes
  return 0;
}

int do_open(const char *path, fuse_file_info *fi) {
  fat::DirEntry entry;
  if (int failed = find(path, entry))
    return failed;
  if ((fi->flags & (O_WRONLY | O_RDWR)) && (entry.attributes & fat::kReadOnly))
    return -EACCES;
  return hold(path, fi, false);
}

int do_create(const char *path, mode_t mode, fuse_file_info *fi) {
  fat::FileWriter writer;
  std::uint8_t bits = fat::kArchive;
  fat::DosTime now = host::dos_time_of(std::time(nullptr));
  std::uint32_t code = server().volume->CreateOrTruncate(inner(path), bits, now, writer);
  if (!code)
    code = writer.Close();
  if (int failed = settle(code))
    return failed;
  if (int failed = hold(path, fi, true))
    return failed;
  if (!(mode & 0222))
    open_file(path)->attributes |= fat::kReadOnly;
  return 0;
}

int do_read(const char *path, char *data, size_t size, off_t at, fuse_file_info *) {
  std::vector<char> whole;
  const std::vector<char> *bytes = &whole;
  if (auto file = open_file(path))
    bytes = &file->bytes;
  else if (int failed = read_whole(path, whole))
    return failed;
  if (std::size_t(at) >= bytes->size())
    return 0;
  std::size_t count = std::min(size, bytes->size() - std::size_t(at));
  std::memcpy(data, bytes->data() + at, count);
  return int(count);
}

int do_write(const char *path, const char *data, size_t size, off_t at, fuse_file_info *) {
  auto file = open_file(path);
  if (!file)
    return -EBADF;
  if (file->bytes.size() < std::size_t(at) + size)
    file->bytes.resize(std::size_t(at) + size);
  std::memcpy(file->bytes.data() + at, data, size);
  file->dirty = true;
  file->written = host::dos_time_of(std::time(nullptr));
  return int(size);
}

int do_flush(const char *path, fuse_file_info *) {
  auto file = open_file(path);
  return file && file->dirty ? write_back(path, *file) : 0;
}

int do_release(const char *path, fuse_file_info *fi) {
  auto file = fi->fh ? open_file(path) : nullptr;
  if (!file)
    return 0;
  int result = file->dirty ? write_back(path, *file) : 0;
  if (--file->handles == 0)
    server().open.erase(path);
  return result;
}

int do_statfs(const char *, struct statvfs *st) {
  std::uint64_t free = 0;
  if (int failed = errno_of(server().volume->FreeBytes(free)))
    return failed;
  std::memset(st, 0, sizeof *st);
  std::uint32_t cluster = server().volume->ClusterBytes();
  st->f_bsize = st->f_frsize = cluster;
  st->f_blocks = server().io->Length() / cluster;
  st->f_bfree = st->f_bavail = free / cluster;
  st->f_namemax = 255;
  return 0;
}

int do_getxattr(const char *path, const char *name, char *value, size_t size) {
  if (std::strcmp(name, kDosAttributes) != 0)
    return -ENODATA;
  fat::DirEntry entry;
  if (int failed = find(path, entry))
    return failed;
  if (!(entry.attributes & kXattrBits))
    return -ENODATA;
  char text[8];
  int length = std::snprintf(text, sizeof text, "0x%x", entry.attributes & kXattrBits);
  if (size == 0)
    return length;
  if (size < std::size_t(length))
    return -ERANGE;
  std::memcpy(value, text, std::size_t(length));
  return length;
}

int set_xattr_bits(const char *path, std::uint8_t bits) {
  fat::DirEntry entry;
  if (int failed = find(path, entry))
    return failed;
  std::uint8_t attributes = (entry.attributes & ~kXattrBits & ~fat::kDirectory) | bits;
  if (auto file = open_file(path))
    file->attributes = attributes;
  return settle(server().volume->SetAttributes(inner(path), attributes));
}

int do_setxattr(const char *path, const char *name, const char *value, size_t size, int) {
  if (std::strcmp(name, kDosAttributes) != 0)
    return -ENOTSUP;
  std::string text(value, size);
  return set_xattr_bits(path, std::uint8_t(std::strtoul(text.c_str(), nullptr, 0)) & kXattrBits);
}

int do_removexattr(const char *path, const char *name) {
  if (std::strcmp(name, kDosAttributes) != 0)
    return -ENODATA;
  return set_xattr_bits(path, 0);
}

void *do_init(fuse_conn_info *, fuse_config *config) {
  config->attr_timeout = config->entry_timeout = config->negative_timeout = 0;
  config->direct_io = 1;
  config->use_ino = 0;
  return fuse_get_context()->private_data;
}

fuse_operations operations() {
  fuse_operations ops{};
  ops.getattr = do_getattr;
  ops.readdir = do_readdir;
  ops.mkdir = do_mkdir;
  ops.unlink = do_unlink;
  ops.rmdir = do_unlink;
  ops.rename = do_rename;
  ops.chmod = do_chmod;
  ops.utimens = do_utimens;
  ops.truncate = do_truncate;
  ops.open = do_open;
  ops.create = do_create;
  ops.read = do_read;
  ops.write = do_write;
  ops.flush = do_flush;
  ops.release = do_release;
  ops.statfs = do_statfs;
  ops.getxattr = do_getxattr;
  ops.setxattr = do_setxattr;
  ops.removexattr = do_removexattr;
  ops.init = do_init;
  return ops;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <partition> <mount point> [FUSE options]\n", argv[0]);
    return 2;
  }
  int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  off_t length = fd < 0 ? -1 : ::lseek(fd, 0, SEEK_END);
  if (fd >= 0)
    ::close(fd);
  if (length <= 0) {
    std::fprintf(stderr, "%s: cannot read its size\n", argv[1]);
    return 1;
  }
  Server state;
  auto range = std::make_unique<corvantix::emulation::ImageRange>(argv[1], 0, std::uint64_t(length));
  if (std::uint32_t code = range->Error()) {
    std::fprintf(stderr, "%s: cannot open (error %u)\n", argv[1], unsigned(code));
    return 1;
  }
  state.io = std::move(range);
  if (std::uint32_t code = fat::FatVolume::Mount(*state.io, state.volume)) {
    std::fprintf(stderr, "%s: no FAT file system (error %u)\n", argv[1], unsigned(code));
    return 1;
  }
  // Single-threaded, in the foreground: the volume is not shared between
  // threads.
  std::vector<char *> args = {argv[0], argv[2], const_cast<char *>("-f"),
                              const_cast<char *>("-s")};
  for (int i = 3; i < argc; ++i)
    args.push_back(argv[i]);
  fuse_operations ops = operations();
  return fuse_main(int(args.size()), args.data(), &ops, &state);
}
