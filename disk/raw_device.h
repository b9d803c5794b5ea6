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


/// A disk opened for raw transfers with its mounted volume locked, as the
/// raw writes into a mounted file system's sectors need it: the volume is
/// opened and locked, the disk opened and its geometry read, in that
/// order, and the first failure stops there with its code in `Error`. The
/// disk's handle closes first, then the volume's, which ends the lock.
class LockedDisk {
public:
  LockedDisk(const char *sPhysicalDrive, char DriveLetter,
             DWORD DiskFlags = FILE_FLAG_NO_BUFFERING) {
    char VolumePath[] = "\\\\.\\Z:";
    VolumePath[4] = DriveLetter;
    Volume.emplace(VolumePath, kDeviceShared);
    if (!*Volume) {
      Error = GetLastError();
      return;
    }
    Disk.emplace(sPhysicalDrive, kDeviceShared, DiskFlags);
    if (!*Disk || !Volume->control(FSCTL_LOCK_VOLUME) ||
        !Disk->control(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, &Geometry,
                       sizeof Geometry))
      Error = GetLastError();
  }

  std::optional<RawDevice> Volume;
  std::optional<RawDevice> Disk;
  DISK_GEOMETRY_EX Geometry{};
  DWORD Error = 0;
};
