// The disks' images as the machine keeps them (disk_images.cpp).
#pragma once

#include "platform/host/machine/machine.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace corvantix::emulation {

/// This process's hold on an image: an open descriptor with its flock.
struct ImageLock {
  explicit ImageLock(int fd) : fd(fd) {}
  ~ImageLock();
  ImageLock(const ImageLock &) = delete;
  ImageLock &operator=(const ImageLock &) = delete;
  int fd;
};

/// This process's lock on `image`, shared by the machines of the process;
/// null when another program holds it (`in_use`) or it cannot be opened.
std::shared_ptr<ImageLock> lock_image(const std::filesystem::path &image,
                                      bool &in_use);

/// A new image, sparse, of the configured size, formatted as the shop
/// leaves it and folded for a counterfeit stick; false when there is one
/// already. A size that the host cannot hold throws corvantix::Error
/// naming the image, and leaves no file behind.
bool make_image(const DiskConfig &config);

/// The first partition of the disk's MBR, in bytes; nullopt without one.
struct Extent {
  std::uint64_t offset, length;
};
std::optional<Extent> first_partition(const Disk &disk);

/// The device instance identifier Windows gives such a disk.
std::string pnp_id_for(const DiskConfig &config, int number);

} // namespace corvantix::emulation
