// The raw-device layer: one active FAT32 partition with FreeDOS boot code
// over a whole disk, written in two raw writes, and the wipe of a disk's
// master boot record. Plain functions returning Win32 error codes (0 for
// success); they never throw and release every handle and allocation on
// every path.
#pragma once

#include "platform/win32api.h"

#include <cstdint>

class VolumeLock;

/// Codes of the formatter's own refusals, given before anything is written.
/// A disk whose sectors are not 512 bytes: the layout assumes 512.
constexpr DWORD kErrorSectorSize = ERROR_NOT_SUPPORTED;
/// A disk too small for a FAT32 volume of at least 65,525 clusters
/// (34,105,856 bytes): a smaller one would be read as FAT16 and not boot.
constexpr DWORD kErrorDiskTooSmall = ERROR_DISK_FULL;
/// The fewest clusters that make a volume FAT32.
constexpr DWORD kMinimumFat32Clusters = 65525;

/// The fewest bytes of a disk that the formatter makes FAT32 of, and every
/// larger disk as well: worked out from the partition's start and the boot
/// record's choice of cluster and FAT size, as a format computes them.
std::uint64_t MinimumFat32DiskSize();

/// Makes the disk `sPhysicalDrive` (such as \\.\PhysicalDrive1) one active
/// FAT32 partition from LBA 32 on, with an empty root directory. The volume
/// with letter `DriveLetter`, mounted from that disk, is locked meanwhile.
/// Several disks may be formatted at once from different threads.
DWORD CreatePartitionAndFormatFAT32(const char *sPhysicalDrive,
                                    char DriveLetter);

/// The same on a disk whose volume the caller has locked already (see
/// VolumeLock), so that no other program gets at the volume between this
/// and what the caller did before under the same lock. The format ends the
/// lock; the caller closes the handle.
DWORD CreatePartitionAndFormatFAT32(const char *sPhysicalDrive,
                                    VolumeLock &Volume);

/// Overwrites LBA 0 of `sPhysicalDrive` with 0xFF bytes.
DWORD WipeMBR(const char *sPhysicalDrive);

/// Writes `BufferSize` bytes at byte `Position` (below 2^31) of an open
/// device. On an unbuffered handle the buffer must be sector-aligned.
DWORD WriteSector(HANDLE hDevice, DWORD Position, DWORD BufferSize,
                  const void *pBuffer);
