#include "disk/formatter.h"

#include "disk/boot_records.h"
#include "disk/raw_device.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

namespace {

constexpr DWORD kPartitionOffset = 32 * 512;
constexpr std::uint64_t kMaxDiskSize = std::uint64_t(1) << 41;

static_assert(sizeof(DISK_GEOMETRY_EX) == 40);

// Clusters of a disk of `Sectors` 512-byte sectors, as a format lays it out.
std::uint32_t Fat32Clusters(std::uint64_t Sectors) {
  static constexpr SYSTEMTIME Time{2000, 1, 6, 1, 0, 0, 0, 0};
  BOOT_RECORD_FAT32 Record{};
  Record.Format(Sectors * 512 - kPartitionOffset, Time);
  return Record.ClusterCount();
}

} // namespace

std::uint64_t MinimumFat32DiskSize() {
  static const std::uint64_t Minimum = [] {
    // A volume has fewer clusters than sectors, so the search starts
    // below any size that could be enough. Each FAT sector more (one per
    // 130 sectors here) takes up to three clusters back; from the first
    // size with four to spare, no later one falls under the minimum again.
    std::uint64_t Sectors = kPartitionOffset / 512 + kMinimumFat32Clusters;
    std::uint64_t LastTooSmall = Sectors;
    for (std::uint32_t Clusters;
         (Clusters = Fat32Clusters(Sectors)) < kMinimumFat32Clusters + 4;
         ++Sectors)
      if (Clusters < kMinimumFat32Clusters)
        LastTooSmall = Sectors;
    return (LastTooSmall + 1) * 512;
  }();
  return Minimum;
}

namespace {

// The format on a disk whose volume is locked; the buffer is the caller's,
// so that it is freed after both handles have closed.
DWORD FormatLockedDisk(LockedDisk &Device, SectorBuffer &Buffer) {
  if (Device.Error)
    return Device.Error;
  const DISK_GEOMETRY_EX &Geometry = Device.Geometry;

  // Every offset below counts 512-byte sectors.
  if (Geometry.Geometry.BytesPerSector != 512)
    return kErrorSectorSize;
  std::uint64_t DiskSize =
      std::min(std::uint64_t(Geometry.DiskSize.QuadPart), kMaxDiskSize);
  if (Geometry.DiskSize.QuadPart <= 0 || DiskSize <= kPartitionOffset)
    return kErrorDiskTooSmall;

  // Several sticks may be formatted at once: the shared templates are
  // filled one format at a time and copied, and the writes use the copies.
  MASTER_BOOT_RECORD Mbr;
  BOOT_RECORD_FAT32 Bpb;
  {
    static std::mutex TemplatesMutex;
    std::lock_guard Guard(TemplatesMutex);
    MasterBootRecord.CreatePrimaryPartition(DiskSize);
    BootRecord.Format(DiskSize - kPartitionOffset);
    Mbr = MasterBootRecord;
    Bpb = BootRecord;
  }
  if (Bpb.ClusterCount() < kMinimumFat32Clusters)
    return kErrorDiskTooSmall;
  FSINFO FsInfo;
  FsInfo.Format();
  FAT_SECTOR FatStart;
  FatStart.Format();

  DWORD FatSectors = Bpb.BPB_FATSz32;
  DWORD BufferSize = (Bpb.BPB_NumFATs * FatSectors +
                      3 * Bpb.BPB_SecPerClus + Bpb.BPB_RsvdSecCnt) * 512;
  if (!Buffer.allocate(BufferSize)) // zero-filled
    return ERROR_NOT_ENOUGH_MEMORY;
  Buffer.place(0, &Bpb);
  Buffer.place(1, &FsInfo);
  Buffer.place(Bpb.BPB_BkBootSec, &Bpb);
  Buffer.place(Bpb.BPB_BkBootSec + 1, &FsInfo);
  Buffer.place(Bpb.BPB_RsvdSecCnt, &FatStart);
  Buffer.place(Bpb.BPB_RsvdSecCnt + FatSectors, &FatStart);

  // The file system first: a failure here leaves the old partition table.
  if (DWORD Code =
          WriteSector(*Device.Disk, kPartitionOffset, BufferSize, Buffer.data()))
    return Code;
  // The buffer is written: its aligned first sector carries the MBR now.
  Buffer.place(0, &Mbr);
  if (DWORD Code = WriteSector(*Device.Disk, 0, 512, Buffer.data()))
    return Code;
  return Device.Lock.Release();
}

} // namespace

DWORD CreatePartitionAndFormatFAT32(const char *sPhysicalDrive,
                                    char DriveLetter) {
  SectorBuffer Buffer;
  LockedDisk Device(sPhysicalDrive, DriveLetter);
  return FormatLockedDisk(Device, Buffer);
}

DWORD CreatePartitionAndFormatFAT32(const char *sPhysicalDrive,
                                    VolumeLock &Volume) {
  SectorBuffer Buffer;
  LockedDisk Device(sPhysicalDrive, Volume);
  return FormatLockedDisk(Device, Buffer);
}

DWORD WipeMBR(const char *sPhysicalDrive) {
  alignas(kSectorBufferAlignment) static constexpr auto WipeSector = [] {
    std::array<std::uint8_t, 512> Sector{};
    Sector.fill(0xFF);
    return Sector;
  }();

  RawDevice Disk(sPhysicalDrive, 0);
  if (!Disk)
    return GetLastError();
  if (SetFilePointer(Disk, 0, nullptr, FILE_BEGIN) ==
      INVALID_SET_FILE_POINTER)
    return GetLastError();
  DWORD Written;
  if (!WriteFile(Disk, WipeSector.data(), DWORD(WipeSector.size()), &Written,
                 nullptr))
    return GetLastError();
  return 0;
}

DWORD WriteSector(HANDLE hDevice, DWORD Position, DWORD BufferSize,
                  const void *pBuffer) {
  if (SetFilePointer(hDevice, LONG(Position), nullptr, FILE_BEGIN) ==
      INVALID_SET_FILE_POINTER)
    return GetLastError();
  DWORD Written;
  if (!WriteFile(hDevice, pBuffer, BufferSize, &Written, nullptr))
    return GetLastError();
  return 0;
}
