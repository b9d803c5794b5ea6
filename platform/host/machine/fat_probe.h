// Whether a partition holds a FAT file system that Windows would mount.
// One rule for images and real devices, so that an image and the stick it
// was copied from get the same answer.
#pragma once

#include <cstdint>
#include <filesystem>

namespace corvantix::emulation {

/// Whether `boot_sector` (the partition's first 512 bytes) describes a FAT
/// file system that fits in `partition_bytes`. A FAT32 parameter block over
/// fewer than 65,525 clusters counts as invalid: DOS and mtools read such a
/// volume as FAT16.
bool is_mountable_fat(const unsigned char (&boot_sector)[512],
                      std::uint64_t partition_bytes);

/// The same rule on the partition that starts `offset` bytes into `file`
/// (an image, or a device node with offset 0); false when it cannot be read.
/// With `wrap`, `file` is the image of a counterfeit stick that keeps only
/// that many bytes (see image_range.h).
bool holds_mountable_fat(const std::filesystem::path &file,
                         std::uint64_t offset, std::uint64_t partition_bytes,
                         std::uint64_t wrap = 0);

} // namespace corvantix::emulation
