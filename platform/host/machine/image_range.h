// The byte range of an image file or a block device that holds a volume's
// file system, as the FAT library reads and writes it. Reads and writes go
// straight to the file; Flush() puts them on the medium. A block device
// that went away (a stick pulled out: no medium, or another size) fails
// every later call with ERROR_DEVICE_NOT_CONNECTED: Linux drops cached
// writes beyond a vanished device's end without a word.
#pragma once

#include "disk/fat/volume.h"

#include <cstdint>
#include <string>

namespace corvantix::emulation {

class ImageRange : public fat::BlockIo {
public:
  /// Opens `image` for reading and writing; Error() tells whether it could.
  ImageRange(const std::string &image, std::uint64_t offset,
             std::uint64_t length);
  ~ImageRange() override;
  ImageRange(const ImageRange &) = delete;
  ImageRange &operator=(const ImageRange &) = delete;

  /// 0, or the Win32 code of the failed open.
  std::uint32_t Error() const { return error_; }

  std::uint32_t Read(std::uint64_t offset, void *data,
                     std::size_t size) override;
  std::uint32_t Write(std::uint64_t offset, const void *data,
                      std::size_t size) override;
  std::uint32_t Flush() override;
  std::uint64_t Length() const override { return length_; }

private:
  std::uint32_t Check(std::uint64_t offset, std::size_t size) const;
  bool Gone() const;

  int fd_ = -1;
  std::uint32_t error_ = 0;
  std::uint64_t offset_, length_;
  bool device_ = false;
  std::uint64_t device_size_ = 0; ///< when the range was opened
};

} // namespace corvantix::emulation
