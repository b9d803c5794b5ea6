// Damage laid by hand on a FAT16 or FAT32 file system in an image, as a
// faulty writer or a hostile stick leaves it: a folder entry pointed at
// another cluster, a FAT link changed in every copy.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace corvantix::test {

class FatDamage {
public:
  FatDamage(const std::string &image, std::uint64_t offset)
      : fd_(open(image.c_str(), O_RDWR)), offset_(offset) {
    unsigned char boot[512] = {};
    EXPECT_EQ(pread(fd_, boot, sizeof boot, off_t(offset)), 512);
    sector_ = get(boot + 11, 2);
    cluster_ = sector_ * boot[13];
    fats_ = boot[16];
    fat_bytes_ = std::uint64_t(get(boot + 22, 2) ? get(boot + 22, 2) : get(boot + 36, 4)) * sector_;
    fat32_ = get(boot + 22, 2) == 0;
    fat_ = get(boot + 14, 2) * sector_;
    root_ = fat_ + fats_ * fat_bytes_;
    data_ = root_ + (get(boot + 17, 2) * 32 + sector_ - 1) / sector_ * sector_;
    root_cluster_ = fat32_ ? get(boot + 44, 4) : 0;
  }
  ~FatDamage() { close(fd_); }

  /// Sets the FAT entry of `cluster` to `next` in every copy.
  void link(std::uint32_t cluster, std::uint32_t next) {
    const unsigned width = fat32_ ? 4 : 2;
    unsigned char bytes[4];
    for (unsigned i = 0; i < width; ++i)
      bytes[i] = std::uint8_t(next >> 8 * i);
    for (std::uint32_t copy = 0; copy < fats_; ++copy)
      write(fat_ + copy * fat_bytes_ + std::uint64_t(cluster) * width, bytes, width);
  }

  /// Points the entry with the 11-byte short name `name`, in the first
  /// cluster of the folder at `folder` (0: the root), at `cluster`.
  void point(std::uint32_t folder, const char *name, std::uint32_t cluster) {
    const std::uint64_t at = folder == 0 || (fat32_ && folder == root_cluster_)
                                 ? (fat32_ ? place(root_cluster_) : root_)
                                 : place(folder);
    std::vector<unsigned char> records(cluster_);
    ASSERT_EQ(pread(fd_, records.data(), records.size(), off_t(offset_ + at)),
              ssize_t(records.size()));
    for (std::size_t record = 0; record < records.size(); record += 32)
      if (std::memcmp(&records[record], name, 11) == 0) {
        unsigned char high[2] = {std::uint8_t(cluster >> 16), std::uint8_t(cluster >> 24)};
        unsigned char low[2] = {std::uint8_t(cluster), std::uint8_t(cluster >> 8)};
        write(at + record + 20, high, 2);
        write(at + record + 26, low, 2);
        return;
      }
    FAIL() << "no entry " << name << " in cluster " << folder;
  }

private:
  static std::uint32_t get(const unsigned char *p, int bytes) {
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
      value = value << 8 | p[i];
    return value;
  }
  std::uint64_t place(std::uint32_t cluster) const {
    return data_ + std::uint64_t(cluster - 2) * cluster_;
  }
  void write(std::uint64_t at, const unsigned char *bytes, std::size_t size) {
    ASSERT_EQ(pwrite(fd_, bytes, size, off_t(offset_ + at)), ssize_t(size));
  }

  int fd_;
  std::uint64_t offset_;
  std::uint32_t sector_, cluster_, fats_;
  std::uint64_t fat_bytes_, fat_, root_, data_;
  std::uint32_t root_cluster_;
  bool fat32_;
};

} // namespace corvantix::test
