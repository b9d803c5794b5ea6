// What the emulated kernel's disk controls tell of a disk: its geometry, and
// (IOCTL_DISK_GET_DRIVE_LAYOUT_EX) the partition table of its image, as
// Windows' partition manager reports it.
#pragma once

#include "platform/host/win32/win32_types.h"

namespace corvantix::emulation {

struct Disk;

/// Whether `sector` (a disk's first 512 bytes) is the boot sector of a file
/// system that starts at sector 0 (FAT, NTFS, exFAT), not a partition table.
bool file_system_at_sector_zero(const unsigned char *sector);

/// Fills `out` with the drive layout of `disk`: an MBR (the four primary
/// slots, then four slots per extended boot record), a GPT behind a
/// protective MBR, or RAW when there is no valid table (a file system at
/// sector 0, zeros). FALSE with the Win32 code set when `out_size` cannot
/// hold the header and every entry (ERROR_INSUFFICIENT_BUFFER) or the image
/// cannot be read.
BOOL drive_layout(const Disk &disk, LPVOID out, DWORD out_size,
                  LPDWORD returned);

/// IOCTL_DISK_GET_DRIVE_GEOMETRY(_EX) of `disk`: a real block device's own
/// logical sector, else the description's; FALSE with the Win32 code set
/// when `out_size` is too small or the device cannot be asked.
BOOL geometry(const Disk &disk, bool extended, LPVOID out, DWORD out_size,
              LPDWORD returned);

} // namespace corvantix::emulation
