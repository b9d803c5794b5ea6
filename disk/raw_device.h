// The handles and buffers of the raw-device layer: a device opened for
// unbuffered reading and writing, closed when it goes out of scope, and
// page-aligned memory that unbuffered transfers need.
#pragma once

#include "platform/win32api.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

constexpr DWORD kDeviceAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kDeviceShared = FILE_SHARE_READ | FILE_SHARE_WRITE;

/// An open device handle, closed when it goes out of scope.
class RawDevice {
public:
  RawDevice(const char *path, DWORD share,
         DWORD flags = FILE_FLAG_NO_BUFFERING)
      : handle_(CreateFileA(path, kDeviceAccess, share, nullptr, OPEN_EXISTING,
                            flags, nullptr)) {}
  ~RawDevice() {
    if (*this)
      CloseHandle(handle_);
  }
  RawDevice(const RawDevice &) = delete;
  RawDevice &operator=(const RawDevice &) = delete;

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


/// How long a volume lock waits for another program to let go of the
/// volume: Explorer, the indexer or a virus scanner open a stick's volume
/// for a moment when it changes.
constexpr int kVolumeLockTries = 5;
constexpr DWORD kVolumeLockPause = 700; // milliseconds between tries

/// True for the codes with which Windows refuses the lock of a volume that
/// another program holds open (ERROR_ACCESS_DENIED) or holds unshared.
inline bool VolumeHeldByOther(DWORD Code) {
  return Code == ERROR_ACCESS_DENIED || Code == ERROR_SHARING_VIOLATION;
}

/// The volume of a drive letter, opened and locked for raw transfers into
/// its disk: the lock keeps Windows and other programs off the file system
/// for as long as it lives, across several raw operations. Closing the
/// handle at the end ends the lock.
class VolumeLock {
public:
  explicit VolumeLock(char DriveLetter) {
    std::memcpy(Path_, "\\\\.\\Z:", sizeof Path_);
    Path_[4] = DriveLetter;
  }
  VolumeLock(const VolumeLock &) = delete;
  VolumeLock &operator=(const VolumeLock &) = delete;

  /// Opens the volume unless it is open.
  DWORD Open();
  /// Opens and locks the volume, trying kVolumeLockTries times while
  /// another program holds it; 0 at once when it is locked already, else
  /// the code of the last try.
  DWORD Take();
  bool Locked() const { return Locked_; }
  /// Whether the last Take() failed because another program holds the
  /// volume, rather than for a reason of its own.
  bool HeldByOther() const { return HeldByOther_; }
  /// The open volume; only after Open() succeeded.
  RawDevice &Device() { return *Volume_; }
  /// Ends the lock and keeps the handle; 0 or the code of the failure.
  DWORD Release();

private:
  char Path_[7];
  std::optional<RawDevice> Volume_;
  bool Locked_ = false;
  bool HeldByOther_ = false;
};

/// A disk opened for raw transfers with its mounted volume locked, as the
/// raw writes into a mounted file system's sectors need it: the volume is
/// opened, the disk opened, the volume locked (unless the caller holds the
/// lock already) and the disk's geometry read, in that order, and the first
/// failure stops there with its code in `Error`. The disk's handle closes
/// first; a lock of its own ends with it, the caller's lives on.
class LockedDisk {
public:
  LockedDisk(const char *sPhysicalDrive, char DriveLetter,
             DWORD DiskFlags = FILE_FLAG_NO_BUFFERING)
      : Own_(std::in_place, DriveLetter), Lock(*Own_) {
    open(sPhysicalDrive, DiskFlags);
  }
  LockedDisk(const char *sPhysicalDrive, VolumeLock &Held,
             DWORD DiskFlags = FILE_FLAG_NO_BUFFERING)
      : Lock(Held) {
    open(sPhysicalDrive, DiskFlags);
  }
  LockedDisk(const LockedDisk &) = delete;
  LockedDisk &operator=(const LockedDisk &) = delete;

private:
  std::optional<VolumeLock> Own_; // declared first: it closes last

public:
  VolumeLock &Lock;
  std::optional<RawDevice> Disk;
  DISK_GEOMETRY_EX Geometry{};
  DWORD Error = 0;

private:
  void open(const char *sPhysicalDrive, DWORD DiskFlags) {
    // A volume that another program holds unshared is tried again by Take.
    if ((Error = Lock.Open()) && Error != ERROR_SHARING_VIOLATION)
      return;
    Disk.emplace(sPhysicalDrive, kDeviceShared, DiskFlags);
    if (!*Disk) {
      Error = GetLastError();
      return;
    }
    if ((Error = Lock.Take()))
      return;
    if (!Disk->control(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, &Geometry,
                       sizeof Geometry))
      Error = GetLastError();
  }
};
