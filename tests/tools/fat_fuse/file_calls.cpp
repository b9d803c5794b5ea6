// The FUSE server's calls on a file's contents. A file open for writing
// is held in memory and written back whole when a handle is flushed;
// reads take the file whole too: the files of a test stick are small.
#include "tests/tools/fat_fuse/server.h"

#include "platform/host/win32/host_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>

namespace corvantix::fat_fuse {
namespace {

namespace host = platform::host;

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

} // namespace

void add_file_calls(fuse_operations &ops) {
  ops.truncate = do_truncate;
  ops.open = do_open;
  ops.create = do_create;
  ops.read = do_read;
  ops.write = do_write;
  ops.flush = do_flush;
  ops.release = do_release;
}

} // namespace corvantix::fat_fuse
