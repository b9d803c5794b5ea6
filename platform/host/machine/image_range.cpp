#include "platform/host/machine/image_range.h"

#include "platform/host/machine/linux_disks.h"
#include "platform/host/win32/win32_types.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvantix::emulation {

ImageRange::ImageRange(const std::string &image, std::uint64_t offset,
                       std::uint64_t length, std::uint64_t wrap)
    : offset_(offset), length_(length), wrap_(wrap) {
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

// What still waits is written; only Flush() says whether it reached the
// medium.
ImageRange::~ImageRange() {
  if (fd_ < 0)
    return;
  if (!error_)
    WriteWaiting();
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

std::uint32_t ImageRange::ReadThrough(std::uint64_t offset, char *data,
                                      std::size_t size) {
  return wrapped_pieces(wrap_, offset_ + offset, size,
                        [&](std::uint64_t at, std::uint64_t done,
                            std::uint64_t count) -> std::uint32_t {
    for (char *to = data + done; count > 0;) {
      ssize_t n = ::pread(fd_, to, count, off_t(at));
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0) // past the end of a short image: a sector not there
        return n < 0 ? win32_error_of(errno) : ERROR_SECTOR_NOT_FOUND;
      to += n;
      at += std::uint64_t(n);
      count -= std::uint64_t(n);
    }
    return 0;
  });
}

std::uint32_t ImageRange::WriteThrough(std::uint64_t offset, const char *data,
                                       std::size_t size) {
  return wrapped_pieces(wrap_, offset_ + offset, size,
                        [&](std::uint64_t at, std::uint64_t done,
                            std::uint64_t count) -> std::uint32_t {
    for (const char *from = data + done; count > 0;) {
      ssize_t n = ::pwrite(fd_, from, count, off_t(at));
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        return n < 0 ? win32_error_of(errno) : ERROR_WRITE_FAULT;
      StartWriteback(at, std::uint64_t(n));
      from += n;
      at += std::uint64_t(n);
      count -= std::uint64_t(n);
    }
    return 0;
  });
}

// A flush that finds all of a large copy still in memory waits for every
// byte of it; started along the way, the medium writes while we copy, and
// the flush waits only for the last piece. Starting to write changes
// nothing of what a flush promises.
void ImageRange::StartWriteback(std::uint64_t at, std::uint64_t count) {
  constexpr std::uint64_t kStartEvery = 8 << 20;
  if (unstarted_bytes_ == 0) {
    unstarted_from_ = at;
    unstarted_to_ = at + count;
  } else {
    unstarted_from_ = std::min(unstarted_from_, at);
    unstarted_to_ = std::max(unstarted_to_, at + count);
  }
  unstarted_bytes_ += count;
  if (unstarted_bytes_ < kStartEvery)
    return;
  // Advice only: a medium that cannot start early is flushed as before.
  ::sync_file_range(fd_, off_t(unstarted_from_),
                    off_t(unstarted_to_ - unstarted_from_),
                    SYNC_FILE_RANGE_WRITE);
  unstarted_bytes_ = 0;
}

std::uint32_t ImageRange::Read(std::uint64_t offset, void *data,
                               std::size_t size) {
  if (std::uint32_t code = Check(offset, size))
    return code;
  auto *bytes = static_cast<char *>(data);
  if (std::uint32_t code = ReadThrough(offset, bytes, size))
    return code;
  auto overlay = [&](const Waiting &waiting) {
    std::uint64_t from = std::max(waiting.offset, offset);
    std::uint64_t to = std::min(waiting.offset + kSector, offset + size);
    if (from < to)
      std::memcpy(bytes + (from - offset),
                  waiting.bytes.data() + (from - waiting.offset), to - from);
  };
  // Whichever is fewer: the sectors read, or those waiting.
  const std::uint64_t first = offset / kSector * kSector;
  if ((offset + size - first) / kSector < waiting_.size()) {
    for (std::uint64_t sector = first; sector < offset + size; sector += kSector)
      if (auto it = waiting_.find(sector); it != waiting_.end())
        overlay(queue_[it->second]);
  } else {
    for (std::size_t i = head_; i < queue_.size(); ++i)
      overlay(queue_[i]);
  }
  return 0;
}

void ImageRange::Hold(std::uint64_t offset, const char *data) {
  waiting_[offset] = queue_.size();
  queue_.push_back({offset, {}});
  std::memcpy(queue_.back().bytes.data(), data, kSector);
}

std::uint32_t ImageRange::Write(std::uint64_t offset, const void *data,
                                std::size_t size) {
  if (std::uint32_t code = Check(offset, size))
    return code;
  auto *bytes = static_cast<const char *>(data);
  if (offset % kSector != 0 || size != kSector) {
    // Whatever waits was written earlier, so it goes first.
    if (std::uint32_t code = WriteWaiting())
      return code;
    return WriteThrough(offset, bytes, size);
  }
  // A sector that waits is changed in place only when it is the last one
  // queued; else what was queued up to it goes out first, so no earlier
  // state is skipped over.
  if (auto it = waiting_.find(offset); it != waiting_.end()) {
    if (it->second + 1 == queue_.size()) {
      std::memcpy(queue_.back().bytes.data(), bytes, kSector);
      return 0;
    }
    if (std::uint32_t code = WriteWaiting(it->second + 1))
      return code;
  }
  Hold(offset, bytes);
  return queue_.size() - head_ > kMaxWaiting ? WriteWaiting() : 0;
}

std::uint32_t ImageRange::WriteWaiting(std::size_t end) {
  std::vector<char> run;
  std::uint64_t start = 0;
  for (std::size_t i = head_; i < end; ++i) {
    const Waiting &sector = queue_[i];
    if (!run.empty() && start + run.size() != sector.offset) {
      if (std::uint32_t code = WriteThrough(start, run.data(), run.size()))
        return code;
      run.clear();
    }
    if (run.empty())
      start = sector.offset;
    run.insert(run.end(), sector.bytes.begin(), sector.bytes.end());
    waiting_.erase(sector.offset);
  }
  if (!run.empty())
    if (std::uint32_t code = WriteThrough(start, run.data(), run.size()))
      return code;
  head_ = end;
  if (head_ * 2 >= queue_.size()) { // what was written leaves the queue
    queue_.erase(queue_.begin(), queue_.begin() + std::ptrdiff_t(head_));
    for (auto &entry : waiting_)
      entry.second -= head_;
    head_ = 0;
  }
  return 0;
}

std::uint32_t ImageRange::Flush() {
  if (error_)
    return error_;
  if (std::uint32_t code = WriteWaiting())
    return code;
  if (::fdatasync(fd_) != 0)
    return win32_error_of(errno);
  return Gone() ? ERROR_DEVICE_NOT_CONNECTED : 0;
}

std::uint32_t ImageRange::Forget() {
  if (std::uint32_t code = Flush())
    return code;
  // A wrapped image is the disk's whole medium: forget all of it.
  off_t from = wrap_ ? 0 : off_t(offset_), count = wrap_ ? 0 : off_t(length_);
  if (int failed = ::posix_fadvise(fd_, from, count, POSIX_FADV_DONTNEED))
    return win32_error_of(failed);
  return 0;
}

} // namespace corvantix::emulation
