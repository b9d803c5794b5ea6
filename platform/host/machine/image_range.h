// The byte range of an image file or a block device that holds a volume's
// file system, as the FAT library reads and writes it. Writes reach the
// file in the order they are made, which is what keeps the file system
// sound when the process dies at any moment. Single sectors (directory
// entries, FAT sectors, FSInfo) wait in memory, where reads see them, and
// go out in that order: at Flush(), before any other write, and up to the
// older copy of a sector written again, unless that copy is the last one
// queued, which then takes the new bytes. A write of several sectors goes
// out whole, in one call.
// A block device
// that went away (a stick pulled out: no medium, or another size) fails
// every later call with ERROR_DEVICE_NOT_CONNECTED: Linux drops cached
// writes beyond a vanished device's end without a word.
//
// A counterfeit stick's image keeps only `wrap` bytes of the disk: byte p
// of the disk is byte p mod wrap of the image, and a transfer that crosses
// the wrap point is split.
#pragma once

#include "disk/fat/volume.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvantix::emulation {

/// Splits `size` bytes at byte `at` of a disk that keeps only `wrap` bytes
/// (0: all) into the pieces that do not cross the wrap point, and calls
/// `step(image_offset, done, count)` for each in order; stops at the first
/// step that returns a failure (non-zero), and returns it.
template <class Step>
auto wrapped_pieces(std::uint64_t wrap, std::uint64_t at, std::uint64_t size,
                    Step step) -> decltype(step(at, size, size)) {
  if (wrap == 0)
    return step(at, 0, size);
  for (std::uint64_t done = 0; done < size;) {
    std::uint64_t from = (at + done) % wrap;
    std::uint64_t count = std::min(size - done, wrap - from);
    if (auto failed = step(from, done, count))
      return failed;
    done += count;
  }
  return {};
}

class ImageRange : public fat::BlockIo {
public:
  /// Opens `image` for reading and writing; Error() tells whether it could.
  /// `offset` is the range's byte offset on the disk; with `wrap` the disk
  /// keeps only that many bytes (see above).
  ImageRange(const std::string &image, std::uint64_t offset,
             std::uint64_t length, std::uint64_t wrap = 0);
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
  /// Flush(), then drops what the host caches of the range, so that the
  /// next reads come from the medium (a stick that lost writes shows it)
  /// rather than from the page cache. 0 or the Win32 code.
  std::uint32_t Forget();
  std::uint64_t Length() const override { return length_; }

protected:
  /// Puts bytes into the file: the one place where writes leave memory.
  virtual std::uint32_t WriteThrough(std::uint64_t offset, const char *data,
                                     std::size_t size);

private:
  static constexpr std::size_t kSector = 512;
  static constexpr std::size_t kMaxWaiting = 4096; ///< 2 MiB of sectors

  std::uint32_t Check(std::uint64_t offset, std::size_t size) const;
  bool Gone() const;
  std::uint32_t ReadThrough(std::uint64_t offset, char *data, std::size_t size);
  /// Writes the waiting sectors queued before `end`, in order; neighbours
  /// on the medium go in one write.
  std::uint32_t WriteWaiting(std::size_t end);
  std::uint32_t WriteWaiting() { return WriteWaiting(queue_.size()); }
  void Hold(std::uint64_t offset, const char *data);
  /// Starts the medium's writing of what went out since the last start,
  /// without waiting for it, once enough has gathered.
  void StartWriteback(std::uint64_t at, std::uint64_t count);

  struct Waiting {
    std::uint64_t offset;
    std::array<char, kSector> bytes;
  };
  std::vector<Waiting> queue_; ///< from head_ on: not yet written, in order
  std::size_t head_ = 0;
  std::unordered_map<std::uint64_t, std::size_t> waiting_; ///< to queue_

  int fd_ = -1;
  std::uint32_t error_ = 0;
  std::uint64_t offset_, length_, wrap_;
  bool device_ = false;
  std::uint64_t device_size_ = 0; ///< when the range was opened
  /// What went out since the medium last started writing: a span of the
  /// file, and its bytes.
  std::uint64_t unstarted_from_ = 0, unstarted_to_ = 0, unstarted_bytes_ = 0;
};

} // namespace corvantix::emulation
