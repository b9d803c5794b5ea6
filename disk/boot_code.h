// The boot code, assembled from disk/boot/*.asm by the build: the master
// boot record template and the FAT32 boot record template, 512 bytes each.
#pragma once

#include <cstddef>

namespace corvantix::embedded {
extern const unsigned char boot_mbr[];
extern const std::size_t boot_mbr_size;
extern const unsigned char boot_fat32[];
extern const std::size_t boot_fat32_size;
} // namespace corvantix::embedded
