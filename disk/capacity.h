// Whether a disk keeps what is written to it across the whole size it
// reports. Counterfeit sticks report, say, 64 GB but keep 8 GB: a write
// past the real capacity lands on earlier data, as the address wraps around.
// Failing flash loses writes silently too. The check writes a distinct
// pattern to a spread of sectors, reads them back unbuffered and compares;
// the sectors' own contents are read first and put back afterwards.
#pragma once

#include "platform/win32api.h"

#include <cstdint>
#include <vector>

class VolumeLock;

/// The result of a check that found a sector that did not keep its pattern.
constexpr DWORD kErrorCapacity = ERROR_CRC;

/// The sectors (of `SectorSize` bytes, out of `SectorCount`) that the check
/// probes, in ascending order: the first and last, either side of every
/// power of two and 64 spread evenly; about 130 on a 2 TiB disk.
std::vector<std::uint64_t> CapacityProbes(std::uint64_t SectorCount);

/// Checks the disk `sPhysicalDrive` with its volume `DriveLetter` locked
/// (and dismounted, so that the file system reads the disk afresh). 0 when
/// every probe read back as written; kErrorCapacity when one did not, with
/// `KeptBytes` the end of the last probe below it, up to which every probe
/// answered; otherwise the Win32 code of what failed. The probed sectors
/// hold their old contents again when it returns, whatever the result.
DWORD CheckDiskCapacity(const char *sPhysicalDrive, char DriveLetter,
                        std::uint64_t &KeptBytes);

/// The same under a lock of the volume that the caller holds (see
/// VolumeLock) and keeps: the volume stays locked and dismounted when it
/// returns, for a format under the same lock.
DWORD CheckDiskCapacity(const char *sPhysicalDrive, VolumeLock &Volume,
                        std::uint64_t &KeptBytes);
