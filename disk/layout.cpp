#include "disk/layout.h"

#include "disk/raw_device.h"

#include <algorithm>
#include <cstddef>
#include <new>

namespace {

// Enough for the four primary slots and 31 extended boot records; a disk
// with more entries says so with ERROR_INSUFFICIENT_BUFFER and gets more.
constexpr DWORD kFirstEntries = 128;
constexpr DWORD kMostEntries = 4 * 4096;

} // namespace

DWORD ReadDiskLayout(const char *sPhysicalDrive, DISK_LAYOUT &Layout) {
  Layout = DISK_LAYOUT{};
  // Reading only: neither the query nor the geometry needs more, and other
  // handles on the stick keep theirs.
  HANDLE Disk = CreateFileA(sPhysicalDrive, GENERIC_READ, kDeviceShared,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (Disk == INVALID_HANDLE_VALUE)
    return GetLastError();
  DWORD Result = 0;
  try {
    DISK_GEOMETRY_EX Geometry{};
    DWORD Returned = 0;
    if (!DeviceIoControl(Disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0,
                         &Geometry, sizeof Geometry, &Returned, nullptr))
      Result = GetLastError();
    else
      Layout.DiskSize = std::uint64_t(std::max<LONGLONG>(Geometry.DiskSize.QuadPart, 0));

    // Whole PARTITION_INFORMATION_EX units keep the buffer's alignment.
    std::vector<PARTITION_INFORMATION_EX> Buffer;
    for (DWORD Entries = kFirstEntries; !Result; Entries *= 2) {
      Buffer.assign(Entries + 1, PARTITION_INFORMATION_EX{});
      DWORD Size = DWORD(Buffer.size() * sizeof(PARTITION_INFORMATION_EX));
      if (DeviceIoControl(Disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                          Buffer.data(), Size, &Returned, nullptr))
        break;
      Result = GetLastError();
      if (Result == ERROR_INSUFFICIENT_BUFFER && Entries < kMostEntries)
        Result = 0;
    }
    if (!Result) {
      const auto *Drive =
          reinterpret_cast<const DRIVE_LAYOUT_INFORMATION_EX *>(Buffer.data());
      Layout.Style = Drive->PartitionStyle;
      for (DWORD I = 0; I < Drive->PartitionCount; ++I) {
        const PARTITION_INFORMATION_EX &Entry = Drive->PartitionEntry[I];
        DISK_PARTITION Partition{};
        if (Entry.PartitionStyle == PARTITION_STYLE_MBR) {
          BYTE Type = Entry.Mbr.PartitionType;
          if (Type == PARTITION_ENTRY_UNUSED || IsContainerPartition(Type))
            continue;
          Partition.MbrType = Type;
        } else {
          Partition.GptType = Entry.Gpt.PartitionType;
        }
        Partition.Number = Entry.PartitionNumber;
        Partition.Offset = std::uint64_t(Entry.StartingOffset.QuadPart);
        Partition.Length = std::uint64_t(Entry.PartitionLength.QuadPart);
        Layout.Partitions.push_back(Partition);
      }
      std::stable_sort(Layout.Partitions.begin(), Layout.Partitions.end(),
                       [](const DISK_PARTITION &A, const DISK_PARTITION &B) {
                         return A.Number < B.Number;
                       });
    }
  } catch (const std::bad_alloc &) {
    Result = ERROR_NOT_ENOUGH_MEMORY;
  }
  CloseHandle(Disk);
  return Result;
}
