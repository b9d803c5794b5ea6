#include "platform/host/machine/image_range.h"

#include "platform/host/machine/linux_disks.h"
#include "platform/host/win32/win32_types.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvantix::emulation {

ImageRange::ImageRange(const std::string &image, std::uint64_t offset,
                       std::uint64_t length)
    : offset_(offset), length_(length) {
  fd_ = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
  if (fd_ < 0) {
    error_ = win32_error_of(errno);
    return;
  }
  struct stat status {};
  device_ = ::fstat(fd_, &status) == 0 && S_ISBLK(status.st_mode);
  if (device_ && block_device_size(fd_, device_size_) != 0)
    error_ = ERROR_DEVICE_NOT_CONNECTED;
}

ImageRange::~ImageRange() {
  if (fd_ >= 0)
    ::close(fd_);
}

bool ImageRange::Gone() const {
  std::uint64_t now = 0;
  return device_ && (block_device_size(fd_, now) != 0 || now != device_size_);
}

std::uint32_t ImageRange::Check(std::uint64_t offset, std::size_t size) const {
  if (error_)
    return error_;
  if (offset > length_ || size > length_ - offset)
    return ERROR_SECTOR_NOT_FOUND;
  return Gone() ? ERROR_DEVICE_NOT_CONNECTED : 0;
}

std::uint32_t ImageRange::Read(std::uint64_t offset, void *data,
                               std::size_t size) {
  if (std::uint32_t code = Check(offset, size))
    return code;
  auto *bytes = static_cast<char *>(data);
  while (size > 0) {
    ssize_t n = ::pread(fd_, bytes, size, off_t(offset_ + offset));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) // past the end of a short image: a sector not there
      return n < 0 ? win32_error_of(errno) : ERROR_SECTOR_NOT_FOUND;
    bytes += n;
    offset += std::uint64_t(n);
    size -= std::size_t(n);
  }
  return 0;
}

std::uint32_t ImageRange::Write(std::uint64_t offset, const void *data,
                                std::size_t size) {
  if (std::uint32_t code = Check(offset, size))
    return code;
  auto *bytes = static_cast<const char *>(data);
  while (size > 0) {
    ssize_t n = ::pwrite(fd_, bytes, size, off_t(offset_ + offset));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return n < 0 ? win32_error_of(errno) : ERROR_WRITE_FAULT;
    bytes += n;
    offset += std::uint64_t(n);
    size -= std::size_t(n);
  }
  return 0;
}

std::uint32_t ImageRange::Flush() {
  if (error_)
    return error_;
  if (::fdatasync(fd_) != 0)
    return win32_error_of(errno);
  return Gone() ? ERROR_DEVICE_NOT_CONNECTED : 0;
}

} // namespace corvantix::emulation
