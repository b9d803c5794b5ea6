// The raw-device layer's reading of a disk's partition table, before
// anything is copied or written: which partitions the disk holds, so that
// a run does not lose partitions its backup never read, and how large the
// disk is against the smallest FAT32 the formatter makes. Plain functions
// returning Win32 error codes (0 for success); they never throw.
#pragma once

#include "platform/win32api.h"

#include <cstdint>
#include <vector>

/// One used partition of a disk (containers of logical drives left out).
struct DISK_PARTITION {
  DWORD Number;         ///< Windows' partition number, from 1
  std::uint64_t Offset; ///< bytes from the start of the disk
  std::uint64_t Length; ///< bytes
  BYTE MbrType;         ///< the MBR type byte; 0 on a GPT disk
  GUID GptType;         ///< the GPT partition type; zeros on an MBR disk
};

struct DISK_LAYOUT {
  DWORD Style = PARTITION_STYLE_RAW; ///< PARTITION_STYLE_MBR, _GPT or _RAW
  std::uint64_t DiskSize = 0;        ///< bytes, as the formatter sees them
  std::vector<DISK_PARTITION> Partitions; ///< in partition-number order
};

/// Reads the drive layout and the size of `sPhysicalDrive` (such as
/// \\.\PhysicalDrive1) without writing anything.
DWORD ReadDiskLayout(const char *sPhysicalDrive, DISK_LAYOUT &Layout);
