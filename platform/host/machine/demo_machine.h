// The demo machine, which a person chooses to try the program without a
// stick (CORVANTIX_MACHINE=demo): one USB stick and a system disk, both
// image files in the current folder, the stick made as it comes from the
// shop. Shop sticks of described machines are made the same way.
#pragma once

#include "platform/host/machine/machine.h"

#include <cstdint>
#include <filesystem>
#include <vector>

namespace corvantix::emulation {

/// System disk 0 (IDE, no letter, "corvantix-system.img", blank) and USB
/// stick 1 with letter E ("corvantix-stick.img", 256 MiB, from the shop),
/// both images in `folder`. An image there that is not what it should be,
/// such as one left all zeros, is removed, so that the machine makes it
/// afresh.
std::vector<DiskConfig> demo_machine(const std::filesystem::path &folder);

/// Whether the image of `config` is what the machine made it as: of its
/// size and, when it came from the shop, not all zeros in its first
/// sector, which no format and no run leaves behind.
bool image_is_sound(const DiskConfig &config);

/// Makes the blank, sparse image of `size` bytes at `image` what a stick
/// from the shop holds: an MBR with one FAT partition at 1 MiB, FAT32 where
/// it has room for it (FAT16 below), and a few files, all written by our
/// own FAT code. Sizes below 8 MiB are left blank, as nothing is sold so
/// small. 0 or the errno of the failure.
int format_like_shop(const std::filesystem::path &image, std::uint64_t size);

} // namespace corvantix::emulation
