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
// open for writing is held in memory and written back whole when a
// handle of it is closed. Wine keeps the hidden and system bits in the
// extended attribute user.DOSATTRIB, which maps onto the entry's bits;
// read-only is the missing write permission.
#include "tests/tools/fat_fuse/server.h"

#include "platform/host/machine/image_range.h"
#include "platform/win32api.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace corvantix::fat_fuse {

Server &server() {
  return *static_cast<Server *>(fuse_get_context()->private_data);
}

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

} // namespace corvantix::fat_fuse

namespace {

using namespace corvantix::fat_fuse;

void *do_init(fuse_conn_info *, fuse_config *config) {
  config->attr_timeout = config->entry_timeout = config->negative_timeout = 0;
  config->direct_io = 1;
  config->use_ino = 0;
  return fuse_get_context()->private_data;
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
  if (std::uint32_t code = corvantix::fat::FatVolume::Mount(*state.io, state.volume)) {
    std::fprintf(stderr, "%s: no FAT file system (error %u)\n", argv[1], unsigned(code));
    return 1;
  }
  // Single-threaded, in the foreground: the volume is not shared between
  // threads.
  std::vector<char *> args = {argv[0], argv[2], const_cast<char *>("-f"),
                              const_cast<char *>("-s")};
  for (int i = 3; i < argc; ++i)
    args.push_back(argv[i]);
  fuse_operations ops{};
  ops.init = do_init;
  add_entry_calls(ops);
  add_file_calls(ops);
  return fuse_main(int(args.size()), args.data(), &ops, &state);
}
