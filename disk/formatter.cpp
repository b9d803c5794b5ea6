#include "disk/formatter.h"

#include "disk/boot_records.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShared = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kPartitionOffset = 32 * 512;
constexpr std::uint64_t kMaxDiskSize = std::uint64_t(1) << 41;

static_assert(sizeof(DISK_GEOMETRY_EX) == 40);

/// An open device handle, closed when it goes out of scope.
class Device {
public:
  Device(const char *path, DWORD share)
      : handle_(CreateFileA(path, kAccess, share, nullptr, OPEN_EXISTING,
                            FILE_FLAG_NO_BUFFERING, nullptr)) {}
  ~Device() {
    if (*this)
      CloseHandle(handle_);
  }
  Device(const Device &) = delete;
  Device &operator=(const Device &) = delete;

  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }
  operator HANDLE() const { return handle_; }

  bool control(DWORD code, void *out = nullptr, DWORD out_size = 0) {
    DWORD returned;
    return DeviceIoControl(handle_, code, nullptr, 0, out, out_size,
                           &returned, nullptr);
  }

private:
  HANDLE handle_;
};

/// Page-aligned, zero-filled memory for unbuffered writes, released when it
/// goes out of scope.
class SectorBuffer {
public:
  SectorBuffer() = default;
  ~SectorBuffer() {
    if (data_)
      VirtualFree(data_, 0, MEM_RELEASE);
  }
  SectorBuffer(const SectorBuffer &) = delete;
  SectorBuffer &operator=(const SectorBuffer &) = delete;

  bool allocate(DWORD size) {
    data_ = static_cast<std::uint8_t *>(
        VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    return data_ != nullptr;
  }
  std::uint8_t *data() const { return data_; }

  void place(DWORD sector, const void *record) {
    std::memcpy(data_ + std::size_t(sector) * 512, record, 512);
  }

private:
  std::uint8_t *data_ = nullptr;
};

} // namespace

DWORD CreatePartitionAndFormatFAT32(const char *sPhysicalDrive,
                                    char DriveLetter) {
  char VolumePath[] = "\\\\.\\Z:";
  VolumePath[4] = DriveLetter;

  // Declared first so that it goes last: the disk handle closes, then the
  // volume handle, then the buffer is freed.
  SectorBuffer Buffer;
  Device Volume(VolumePath, kShared);
  if (!Volume)
    return GetLastError();
  Device Disk(sPhysicalDrive, kShared);
  if (!Disk)
    return GetLastError();

  if (!Volume.control(FSCTL_LOCK_VOLUME))
    return GetLastError();
  DISK_GEOMETRY_EX Geometry;
  if (!Disk.control(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, &Geometry,
                    sizeof Geometry))
    return GetLastError();

  // Every offset below counts 512-byte sectors.
  if (Geometry.Geometry.BytesPerSector != 512)
    return kErrorSectorSize;
  std::uint64_t DiskSize =
      std::min(std::uint64_t(Geometry.DiskSize.QuadPart), kMaxDiskSize);
  if (Geometry.DiskSize.QuadPart <= 0 || DiskSize <= kPartitionOffset)
    return kErrorDiskTooSmall;

  MasterBootRecord.CreatePrimaryPartition(DiskSize);
  BootRecord.Format(DiskSize - kPartitionOffset);
  if (BootRecord.ClusterCount() < kMinimumFat32Clusters)
    return kErrorDiskTooSmall;
  FSINFO FsInfo;
  FsInfo.Format();
  FAT_SECTOR FatStart;
  FatStart.Format();

  const BOOT_RECORD_FAT32 &Bpb = BootRecord;
  DWORD FatSectors = Bpb.BPB_FATSz32;
  DWORD BufferSize = (Bpb.BPB_NumFATs * FatSectors +
                      3 * Bpb.BPB_SecPerClus + Bpb.BPB_RsvdSecCnt) * 512;
  if (!Buffer.allocate(BufferSize)) // zero-filled
    return ERROR_NOT_ENOUGH_MEMORY;
  Buffer.place(0, &BootRecord);
  Buffer.place(1, &FsInfo);
  Buffer.place(Bpb.BPB_BkBootSec, &BootRecord);
  Buffer.place(Bpb.BPB_BkBootSec + 1, &FsInfo);
  Buffer.place(Bpb.BPB_RsvdSecCnt, &FatStart);
  Buffer.place(Bpb.BPB_RsvdSecCnt + FatSectors, &FatStart);

  // The file system first: a failure here leaves the old partition table.
  if (DWORD Code =
          WriteSector(Disk, kPartitionOffset, BufferSize, Buffer.data()))
    return Code;
  if (DWORD Code = WriteSector(Disk, 0, 512, &MasterBootRecord))
    return Code;
  if (!Volume.control(FSCTL_UNLOCK_VOLUME))
    return GetLastError();
  return 0;
}

DWORD WipeMBR(const char *sPhysicalDrive) {
  alignas(kSectorBufferAlignment) static constexpr auto WipeSector = [] {
    std::array<std::uint8_t, 512> Sector{};
    Sector.fill(0xFF);
    return Sector;
  }();

  Device Disk(sPhysicalDrive, 0);
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
