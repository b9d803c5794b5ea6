// The FUSE server's calls on entries: attributes, folders, names, times,
// free space and the DOS attributes that Wine keeps in user.DOSATTRIB.
#include "tests/tools/fat_fuse/server.h"

#include "platform/host/win32/host_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace corvantix::fat_fuse {
namespace {

namespace host = platform::host;

constexpr const char *kDosAttributes = "user.DOSATTRIB";
constexpr std::uint8_t kXattrBits = fat::kHidden | fat::kSystem;

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

} // namespace

void add_entry_calls(fuse_operations &ops) {
  ops.getattr = do_getattr;
  ops.readdir = do_readdir;
  ops.mkdir = do_mkdir;
  ops.unlink = do_unlink;
  ops.rmdir = do_unlink;
  ops.rename = do_rename;
  ops.chmod = do_chmod;
  ops.utimens = do_utimens;
  ops.statfs = do_statfs;
  ops.getxattr = do_getxattr;
  ops.setxattr = do_setxattr;
  ops.removexattr = do_removexattr;
}

} // namespace corvantix::fat_fuse
