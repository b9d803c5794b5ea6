// The byte range of an image file or a block device that holds a volume's
// file system, as the FAT library reads and writes it. Large writes (file
// data) go straight to the file; single sectors (directory entries, FAT
// sectors, FSInfo), which one file call may write many times over, wait in
// memory, where reads see them, until Flush() writes each once and puts
// everything on the medium. A block device
// that went away (a stick pulled out: no medium, or another size) fails
// every later call with ERROR_DEVICE_NOT_CONNECTED: Linux drops cached
// writes beyond a vanished device's end without a word.
#pragma once

#include "disk/fat/volume.h"

#include <array>
#include <cstdint>
#include <map>
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
  static constexpr std::size_t kSector = 512;
  static constexpr std::size_t kHeld = 8; ///< sectors a write may have to wait
  static constexpr std::size_t kMaxWaiting = 16384; ///< 8 MiB of sectors

  std::uint32_t Check(std::uint64_t offset, std::size_t size) const;
  bool Gone() const;
  std::uint32_t ReadThrough(std::uint64_t offset, char *data, std::size_t size);
  std::uint32_t WriteThrough(std::uint64_t offset, const char *data,
                             std::size_t size);
  /// Writes the waiting sectors, runs of them at a time.
  std::uint32_t WriteWaiting();

  std::map<std::uint64_t, std::array<char, kSector>> waiting_;

  int fd_ = -1;
  std::uint32_t error_ = 0;
  std::uint64_t offset_, length_;
  bool device_ = false;
  std::uint64_t device_size_ = 0; ///< when the range was opened
};

} // namespace corvantix::emulation
