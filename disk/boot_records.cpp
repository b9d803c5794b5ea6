#include "disk/boot_records.h"

#include "disk/boot_code.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace {

constexpr std::uint64_t kMaxDiskSize = std::uint64_t(1) << 41;
constexpr std::uint32_t kPartitionStart = 32; // LBA of the boot record
constexpr std::uint32_t kReservedSectors = 32;

template <class Record>
Record from_template(const unsigned char *bytes, std::size_t size) {
  static_assert(std::is_trivially_copyable_v<Record>);
  Record record{};
  std::memcpy(&record, bytes, std::min(size, sizeof record));
  return record;
}

std::uint8_t sectors_per_cluster(std::uint64_t volume_bytes) {
  std::uint64_t mib = volume_bytes >> 20;
  if (mib <= 512)
    return 1;
  if (mib <= 8192)
    return 8;
  if (mib <= 16384)
    return 16;
  if (mib <= 32768)
    return 32;
  return 64;
}

// Clusters in what is left of `sectors` after the two FATs.
std::uint64_t clusters(std::uint64_t sectors, std::uint64_t fat_sectors,
                       std::uint32_t per_cluster) {
  std::uint64_t fats = 2 * fat_sectors;
  return sectors > fats ? (sectors - fats) / per_cluster : 0;
}

} // namespace

alignas(kSectorBufferAlignment) MASTER_BOOT_RECORD MasterBootRecord =
    from_template<MASTER_BOOT_RECORD>(corvantix::embedded::boot_mbr,
                                      corvantix::embedded::boot_mbr_size);
alignas(kSectorBufferAlignment) BOOT_RECORD_FAT32 BootRecord =
    from_template<BOOT_RECORD_FAT32>(corvantix::embedded::boot_fat32,
                                     corvantix::embedded::boot_fat32_size);

void MASTER_BOOT_RECORD::CreatePrimaryPartition(std::uint64_t DiskSize) {
  DiskSize = std::min(DiskSize, kMaxDiskSize);
  DiskSignature = 0x42555843; // "CXUB"
  Reserved = 0;
  // At exactly 2^41 bytes the 32-bit quotient is 0 and the count wraps to
  // 0xFFFFFFE0: the partition ends at the last 32-bit LBA.
  // The start CHS bytes address LBA 32 (cylinder 0, head 0, sector 33 under
  // any geometry of 63 sectors per track), so that a BIOS without extended
  // reads loads the boot record. The end is marked as beyond CHS: FF FF FF.
  Partition[0] = {0x80, 0x00, 0x21, 0x00, 0x0C, 0xFF, 0xFF, 0xFF, kPartitionStart,
                  std::uint32_t(DiskSize / 512) - kPartitionStart};
}

void BOOT_RECORD_FAT32::Format(std::uint64_t DiskSize) {
  SYSTEMTIME Now;
  GetLocalTime(&Now);
  Format(DiskSize, Now);
}

void BOOT_RECORD_FAT32::Format(std::uint64_t DiskSize,
                               const SYSTEMTIME &Time) {
  BPB_BytsPerSec = 512;
  BPB_SecPerClus = sectors_per_cluster(DiskSize);
  BPB_RsvdSecCnt = kReservedSectors;
  BPB_NumFATs = 2;
  BPB_RootEntCnt = 0;
  BPB_TotSec16 = 0;
  BPB_Media = 0xF8;
  BPB_FATSz16 = 0;
  BPB_SecPerTrk = 63;
  BPB_NumHeads = 255;
  BPB_HiddSec = kPartitionStart;
  BPB_TotSec32 = std::uint32_t(DiskSize / 512);

  // 4 bytes per cluster entry over the sectors after the reserved area,
  // counting 8 bytes of FAT per cluster of data (the share of both FATs);
  // 64-bit, since 4 * BPB_TotSec32 overflows above 512 GiB.
  std::uint64_t data = BPB_TotSec32 > kReservedSectors
                           ? BPB_TotSec32 - kReservedSectors
                           : 0;
  std::uint64_t per_cluster = BPB_SecPerClus;
  std::uint64_t fat = 4 * data / (512 * per_cluster + 8) + 1;
  // The estimate can leave the FAT one entry short of the clusters it must
  // describe (two entries are reserved); one more sector covers them.
  if (clusters(data, fat, BPB_SecPerClus) + 2 > 128 * fat)
    ++fat;
  BPB_FATSz32 = std::uint32_t(fat);

  BPB_ExtFlags = 0;
  BPB_FSVer = 0;
  BPB_RootClus = 2;
  BPB_FSInfo = 1;
  BPB_BkBootSec = 6;
  BS_DrvNum = 0x80;
  BS_BootSig = 0x29;
  BS_VolID = (std::uint32_t(Time.wHour) << 24) +
             (std::uint32_t(Time.wYear + Time.wMinute) << 16) +
             (std::uint32_t(Time.wMonth + Time.wSecond) << 8) + Time.wDay +
             Time.wMilliseconds / 10;
  // Exactly the field widths: no terminating zero into the next field.
  std::memcpy(BS_VolLab, "NO NAME    ", sizeof BS_VolLab);
  std::memcpy(BS_FilSysType, "FAT32   ", sizeof BS_FilSysType);
}

std::uint32_t BOOT_RECORD_FAT32::ClusterCount() const {
  if (!BPB_SecPerClus || BPB_TotSec32 < BPB_RsvdSecCnt)
    return 0;
  std::uint64_t data = BPB_TotSec32 - BPB_RsvdSecCnt;
  std::uint64_t fats = std::uint64_t(BPB_NumFATs) * BPB_FATSz32;
  return data > fats ? std::uint32_t((data - fats) / BPB_SecPerClus) : 0;
}

void FSINFO::Format() {
  std::memset(this, 0, sizeof *this);
  FSI_LeadSig = 0x41615252;
  FSI_StrucSig = 0x61417272;
  FSI_Free_Count = 0xFFFFFFFF; // not computed
  FSI_Nxt_Free = 0xFFFFFFFF;   // no hint
  FSI_TrailSig = 0xAA550000;
}

void FAT_SECTOR::Format() {
  std::memset(this, 0, sizeof *this);
  Entry[0] = 0x0FFFFFF8; // media byte F8
  Entry[1] = 0x0FFFFFFF; // end of chain, volume clean, no errors
  Entry[2] = 0x0FFFFFFF; // the root directory: cluster 2 alone
}
