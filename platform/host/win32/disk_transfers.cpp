#include "platform/host/win32/disk_transfers.h"

#include "platform/host/machine/image_range.h"
#include "platform/host/machine/linux_disks.h"
#include "platform/host/machine/machine.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace corvantix::emulation {

namespace {

constexpr std::size_t kBlock = 4096; // the host file system's block

bool all_zero(const unsigned char *data, std::size_t size) {
  static const unsigned char zeros[kBlock] = {};
  return std::memcmp(data, zeros, size) == 0;
}

// Writes `size` bytes at `offset`; whole blocks of zeros become holes, so
// a sparse image stays sparse and reads the same. 0, or the Win32 code of
// the host's refusal (a full host disk is ERROR_DISK_FULL).
DWORD write_sparse(int fd, std::uint64_t offset, const unsigned char *data,
                   std::size_t size) {
  auto put = [&](std::uint64_t at, const unsigned char *from,
                 std::size_t n) -> DWORD {
    while (n > 0) {
      ssize_t done = pwrite(fd, from, n, off_t(at));
      if (done < 0 && errno == EINTR)
        continue;
      if (done < 0)
        return win32_error_of(errno);
      if (done == 0)
        return ERROR_WRITE_FAULT;
      at += std::size_t(done), from += done, n -= std::size_t(done);
    }
    return 0;
  };
  auto zero = [&](std::uint64_t at, std::size_t n) -> DWORD {
    if (fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(at),
                  off_t(n)) == 0)
      return 0;
    static const unsigned char zeros[kBlock] = {};
    for (std::size_t done = 0; done < n; done += kBlock)
      if (DWORD code = put(at + done, zeros, std::min(kBlock, n - done)))
        return code;
    return 0;
  };

  std::size_t pos = 0;
  while (pos < size) {
    std::uint64_t at = offset + pos;
    std::size_t head = std::size_t((kBlock - at % kBlock) % kBlock);
    std::size_t block = head ? std::min(head, size - pos)
                             : std::min(kBlock, size - pos);
    bool whole = head == 0 && block == kBlock;
    bool zeros = whole && all_zero(data + pos, block);
    // Extend the run of blocks of the same kind.
    std::size_t run = block;
    while (whole && pos + run + kBlock <= size &&
           all_zero(data + pos + run, kBlock) == zeros)
      run += kBlock;
    if (DWORD code = zeros ? zero(at, run) : put(at, data + pos, run))
      return code;
    pos += run;
  }
  return 0;
}

// A write to a real block device: O_DIRECT on an unbuffered handle (its
// buffer is aligned, checked before), every byte written as given. 0 or
// the system's error as a Win32 code; an unplugged stick gives
// ERROR_DEVICE_NOT_CONNECTED or the I/O error.
DWORD write_device(const Disk &disk, DWORD flags, std::uint64_t at,
                   LPCVOID buffer, DWORD size) {
  int mode = O_WRONLY | O_CLOEXEC;
  if (flags & FILE_FLAG_NO_BUFFERING)
    mode |= O_DIRECT;
  int fd = ::open(disk.config.image.c_str(), mode);
  if (fd < 0)
    return win32_error_of(errno);
  auto from = static_cast<const unsigned char *>(buffer);
  std::size_t left = size;
  int error = 0;
  while (left > 0) {
    ssize_t done = pwrite(fd, from, left, off_t(at));
    if (done < 0 && errno == EINTR)
      continue;
    if (done <= 0) {
      error = done < 0 ? errno : ENOSPC;
      break;
    }
    at += std::size_t(done), from += done, left -= std::size_t(done);
  }
  close(fd);
  return error ? win32_error_of(error) : 0;
}

} // namespace

// `size` bytes at byte `at` of the disk, through a counterfeit stick's
// wrap. 0 or the Win32 code.
DWORD write_disk(const Disk &disk, DWORD flags, std::uint64_t at,
                 LPCVOID buffer, DWORD size) {
  auto data = static_cast<const unsigned char *>(buffer);
  std::uint64_t wrap = disk.config.real_size;
  if (disk.config.block_device)
    return wrapped_pieces(
        wrap, at, size,
        [&](std::uint64_t to, std::uint64_t done, std::uint64_t count) {
          return write_device(disk, flags, to, data + done, DWORD(count));
        });
  int fd = ::open(disk.config.image.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0)
    return errno == EACCES || errno == EROFS ? ERROR_WRITE_PROTECT
                                             : ERROR_WRITE_FAULT;
  DWORD code = wrapped_pieces(
      wrap, at, size,
      [&](std::uint64_t to, std::uint64_t done, std::uint64_t count) {
        return write_sparse(fd, to, data + done, std::size_t(count));
      });
  close(fd);
  return code;
}

DWORD read_disk(const Disk &disk, std::uint64_t at, LPVOID buffer,
                DWORD size) {
  int fd = ::open(disk.config.image.c_str(), O_RDONLY | O_CLOEXEC);
  int error = fd < 0 ? errno : 0;
  bool failed = fd < 0 || wrapped_pieces(
      disk.config.real_size, at, size,
      [&](std::uint64_t from, std::uint64_t done, std::uint64_t count) {
        ssize_t got = pread(fd, static_cast<char *>(buffer) + done, count,
                            off_t(from));
        if (got < 0)
          error = errno;
        return got != ssize_t(count);
      });
  if (fd >= 0)
    close(fd);
  if (!failed)
    return 0;
  return disk.config.block_device && error
             ? win32_error_of(error)
             : ERROR_READ_FAULT;
}


} // namespace corvantix::emulation
