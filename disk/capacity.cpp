#include "disk/capacity.h"

#include "disk/raw_device.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint64_t kSpread = 64;

/// Moves the device's file pointer to byte `Offset`, which may lie past 4 GiB.
bool Seek(HANDLE Disk, std::uint64_t Offset) {
  LONG High = LONG(Offset >> 32);
  SetLastError(ERROR_SUCCESS); // the low part may read as the failure value
  return SetFilePointer(Disk, LONG(Offset & 0xFFFFFFFF), &High, FILE_BEGIN) !=
             INVALID_SET_FILE_POINTER ||
         GetLastError() == ERROR_SUCCESS;
}

bool ReadAt(HANDLE Disk, std::uint64_t Offset, DWORD Size, void *Data) {
  DWORD Done = 0;
  return Seek(Disk, Offset) && ReadFile(Disk, Data, Size, &Done, nullptr) &&
         Done == Size;
}

bool WriteAt(HANDLE Disk, std::uint64_t Offset, DWORD Size, const void *Data) {
  DWORD Done = 0;
  return Seek(Disk, Offset) && WriteFile(Disk, Data, Size, &Done, nullptr) &&
         Done == Size;
}

/// A pattern that no other probe's sector holds: the sector number spread
/// over the whole sector, so that a wrapped write is told apart.
void FillPattern(std::uint8_t *Sector, DWORD Size, std::uint64_t Number) {
  std::uint64_t Word = Number * 0x9E3779B97F4A7C15ull ^ 0x434F5256414E5458ull;
  for (DWORD At = 0; At + 8 <= Size; At += 8) {
    Word = Word * 6364136223846793005ull + 1442695040888963407ull;
    std::memcpy(Sector + At, &Word, 8);
  }
  std::memcpy(Sector, &Number, 8);
}

// A probe's pattern. The first sector's keeps the partition table of the
// sector's saved contents (from byte 440: disk signature, the four entries
// and the boot signature): a run cut off while the patterns are out leaves
// the stick's partition, so that the stick keeps its drive letter and the
// next start can find it and finish the run.
void ProbePattern(std::uint8_t *Sector, DWORD Size, std::uint64_t Number,
                  const std::uint8_t *SavedFirst) {
  constexpr DWORD kTableAt = 440;
  FillPattern(Sector, Size, Number);
  if (Number == 0)
    std::memcpy(Sector + kTableAt, SavedFirst + kTableAt, 512 - kTableAt);
}

} // namespace

std::vector<std::uint64_t> CapacityProbes(std::uint64_t SectorCount) {
  std::vector<std::uint64_t> Probes;
  if (SectorCount == 0)
    return Probes;
  Probes.push_back(0);
  // Either side of every power of two, where a counterfeit wraps around.
  for (std::uint64_t Power = 1; Power < SectorCount; Power <<= 1) {
    Probes.push_back(Power - 1);
    Probes.push_back(Power);
  }
  for (std::uint64_t Step = 1; Step < kSpread; ++Step)
    Probes.push_back(SectorCount / kSpread * Step);
  Probes.push_back(SectorCount - 1);
  std::sort(Probes.begin(), Probes.end());
  Probes.erase(std::unique(Probes.begin(), Probes.end()), Probes.end());
  return Probes;
}

DWORD CheckDiskCapacity(const char *sPhysicalDrive, char DriveLetter,
                        std::uint64_t &KeptBytes) {
  VolumeLock Volume(DriveLetter);
  DWORD Result = CheckDiskCapacity(sPhysicalDrive, Volume, KeptBytes);
  DWORD Unlocked = Volume.Release();
  return Result ? Result : Unlocked;
}

DWORD CheckDiskCapacity(const char *sPhysicalDrive, VolumeLock &Volume,
                        std::uint64_t &KeptBytes) {
  KeptBytes = 0;
  // Declared first so that it goes last, after the disk's handle closed.
  SectorBuffer Buffer;
  // Write-through as well as unbuffered: a read must come from the medium.
  LockedDisk Device(sPhysicalDrive, Volume,
                    FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH);
  if (Device.Error)
    return Device.Error;
  if (!Volume.Device().control(FSCTL_DISMOUNT_VOLUME))
    return GetLastError();
  const DISK_GEOMETRY_EX &Geometry = Device.Geometry;
  HANDLE Disk = *Device.Disk;
  const DWORD SectorSize = Geometry.Geometry.BytesPerSector;
  if (SectorSize < 512 || Geometry.DiskSize.QuadPart <= 0)
    return ERROR_INVALID_PARAMETER;
  const std::vector<std::uint64_t> Probes =
      CapacityProbes(std::uint64_t(Geometry.DiskSize.QuadPart) / SectorSize);
  const std::size_t Count = Probes.size();
  // The probes' own contents, then one sector for a pattern read back.
  if (!Buffer.allocate(DWORD((Count + 2) * SectorSize)))
    return ERROR_NOT_ENOUGH_MEMORY;
  auto Saved = [&](std::size_t I) { return Buffer.data() + I * SectorSize; };
  std::uint8_t *Pattern = Saved(Count), *Back = Saved(Count + 1);

  // Everything is read before anything is written, so that on a disk that
  // wraps around, two probes on one sector saved the same contents. A
  // transfer the disk refuses ends the check with its error; only sectors
  // that took their pattern are put back.
  for (std::size_t I = 0; I < Count; ++I)
    if (!ReadAt(Disk, Probes[I] * SectorSize, SectorSize, Saved(I)))
      return GetLastError() ? GetLastError() : ERROR_READ_FAULT;
  std::vector<bool> Written(Count, false);
  DWORD Result = 0;
  // From the end down: on a wrapping disk the lower probe is written last
  // and keeps its pattern, so the first probe that fails marks the wrap.
  for (std::size_t I = Count; I-- > 0 && !Result;) {
    ProbePattern(Pattern, SectorSize, Probes[I], Saved(0));
    Written[I] = WriteAt(Disk, Probes[I] * SectorSize, SectorSize, Pattern);
    if (!Written[I])
      Result = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
  }
  for (std::size_t I = 0; I < Count && !Result; ++I) {
    ProbePattern(Pattern, SectorSize, Probes[I], Saved(0));
    if (!ReadAt(Disk, Probes[I] * SectorSize, SectorSize, Back))
      Result = GetLastError() ? GetLastError() : ERROR_READ_FAULT;
    else if (std::memcmp(Back, Pattern, SectorSize) != 0) {
      KeptBytes = I ? (Probes[I - 1] + 1) * SectorSize : 0;
      Result = kErrorCapacity;
    }
  }
  DWORD Restored = 0;
  for (std::size_t I = Count; I-- > 0;)
    if (Written[I] &&
        !WriteAt(Disk, Probes[I] * SectorSize, SectorSize, Saved(I)) &&
        !Restored)
      Restored = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
  return Restored ? Restored : Result;
}
