// The bytes of a raw transfer on an emulated disk: to and from its image
// file or its real block device, through a counterfeit stick's wrap.
#pragma once

#include "platform/host/win32/win32_types.h"

#include <cstdint>

namespace corvantix::emulation {

struct Disk;

/// Writes `size` bytes at byte `at` of `disk`. An image stays sparse (whole
/// blocks of zeros become holes); a block device is written with O_DIRECT
/// when `flags` has FILE_FLAG_NO_BUFFERING. 0 or the Win32 code.
DWORD write_disk(const Disk &disk, DWORD flags, std::uint64_t at,
                 LPCVOID buffer, DWORD size);

/// Reads `size` bytes at byte `at` of `disk`. 0 or the Win32 code.
DWORD read_disk(const Disk &disk, std::uint64_t at, LPVOID buffer, DWORD size);

} // namespace corvantix::emulation
