// The hand-built sectors of a prepared stick: the master boot record with
// one active FAT32 partition, the FAT32 boot record, the FSInfo sector and
// the first sector of each FAT. All records are packed little-endian images
// of the bytes on the disk; a sector is 512 bytes throughout.
#pragma once

#include "platform/win32api.h"

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little,
              "the records are stored in the machine's byte order");

#pragma pack(push, 1)

struct PARTITION_TABLE_ENTRY {
  std::uint8_t BootIndicator; ///< 0x80: active
  std::uint8_t StartHead;
  std::uint8_t StartSector; ///< bits 0-5 sector, 6-7 cylinder bits 8-9
  std::uint8_t StartCylinder;
  std::uint8_t PartitionType;
  std::uint8_t EndHead;
  std::uint8_t EndSector;
  std::uint8_t EndCylinder;
  std::uint32_t FirstSector; ///< LBA of the partition's first sector
  std::uint32_t SectorCount;
};

struct MASTER_BOOT_RECORD {
  std::uint8_t BootCode[440]; ///< code and messages in 0-270, then zeros
  std::uint32_t DiskSignature;
  std::uint16_t Reserved;
  PARTITION_TABLE_ENTRY Partition[4];
  std::uint8_t Signature[2]; ///< 55 AA

  /// Entry 1 becomes one active FAT32 (LBA) partition from LBA 32 to the end
  /// of the disk, or to the last sector a 32-bit LBA reaches; also writes
  /// the disk signature "CXUB".
  void CreatePrimaryPartition(std::uint64_t DiskSize);
};

struct BOOT_RECORD_FAT32 {
  std::uint8_t BS_jmpBoot[3];
  char BS_OEMName[8];
  std::uint16_t BPB_BytsPerSec;
  std::uint8_t BPB_SecPerClus;
  std::uint16_t BPB_RsvdSecCnt;
  std::uint8_t BPB_NumFATs;
  std::uint16_t BPB_RootEntCnt;
  std::uint16_t BPB_TotSec16;
  std::uint8_t BPB_Media;
  std::uint16_t BPB_FATSz16;
  std::uint16_t BPB_SecPerTrk;
  std::uint16_t BPB_NumHeads;
  std::uint32_t BPB_HiddSec;
  std::uint32_t BPB_TotSec32;
  std::uint32_t BPB_FATSz32;
  std::uint16_t BPB_ExtFlags;
  std::uint16_t BPB_FSVer;
  std::uint32_t BPB_RootClus;
  std::uint16_t BPB_FSInfo;
  std::uint16_t BPB_BkBootSec;
  std::uint8_t BPB_Reserved[12];
  std::uint8_t BS_DrvNum;
  std::uint8_t BS_Reserved1;
  std::uint8_t BS_BootSig;
  std::uint32_t BS_VolID;
  char BS_VolLab[11];
  char BS_FilSysType[8];
  std::uint8_t BootCode[420];
  std::uint8_t Signature[2]; ///< 55 AA

  /// Fills the parameter block for a volume of `DiskSize` bytes, with a
  /// serial number from the local time.
  void Format(std::uint64_t DiskSize);
  /// The same with a given local time.
  void Format(std::uint64_t DiskSize, const SYSTEMTIME &Time);

  /// Whole clusters in the data area.
  std::uint32_t ClusterCount() const;
};

struct FSINFO {
  std::uint32_t FSI_LeadSig;
  std::uint8_t FSI_Reserved1[480];
  std::uint32_t FSI_StrucSig;
  std::uint32_t FSI_Free_Count;
  std::uint32_t FSI_Nxt_Free;
  std::uint8_t FSI_Reserved2[12];
  std::uint32_t FSI_TrailSig;

  void Format();
};

#pragma pack(pop)

static_assert(sizeof(PARTITION_TABLE_ENTRY) == 16);
static_assert(offsetof(PARTITION_TABLE_ENTRY, PartitionType) == 4);
static_assert(offsetof(PARTITION_TABLE_ENTRY, FirstSector) == 8);
static_assert(offsetof(PARTITION_TABLE_ENTRY, SectorCount) == 12);

static_assert(sizeof(MASTER_BOOT_RECORD) == 512);
static_assert(offsetof(MASTER_BOOT_RECORD, DiskSignature) == 440);
static_assert(offsetof(MASTER_BOOT_RECORD, Reserved) == 444);
static_assert(offsetof(MASTER_BOOT_RECORD, Partition) == 446);
static_assert(offsetof(MASTER_BOOT_RECORD, Signature) == 510);

static_assert(sizeof(BOOT_RECORD_FAT32) == 512);
static_assert(offsetof(BOOT_RECORD_FAT32, BS_OEMName) == 3);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_BytsPerSec) == 11);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_SecPerClus) == 13);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_RsvdSecCnt) == 14);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_NumFATs) == 16);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_RootEntCnt) == 17);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_TotSec16) == 19);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_Media) == 21);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_FATSz16) == 22);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_SecPerTrk) == 24);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_NumHeads) == 26);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_HiddSec) == 28);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_TotSec32) == 32);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_FATSz32) == 36);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_ExtFlags) == 40);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_FSVer) == 42);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_RootClus) == 44);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_FSInfo) == 48);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_BkBootSec) == 50);
static_assert(offsetof(BOOT_RECORD_FAT32, BPB_Reserved) == 52);
static_assert(offsetof(BOOT_RECORD_FAT32, BS_DrvNum) == 64);
static_assert(offsetof(BOOT_RECORD_FAT32, BS_BootSig) == 66);
static_assert(offsetof(BOOT_RECORD_FAT32, BS_VolID) == 67);
static_assert(offsetof(BOOT_RECORD_FAT32, BS_VolLab) == 71);
static_assert(offsetof(BOOT_RECORD_FAT32, BS_FilSysType) == 82);
static_assert(offsetof(BOOT_RECORD_FAT32, BootCode) == 90);
static_assert(offsetof(BOOT_RECORD_FAT32, Signature) == 510);

static_assert(sizeof(FSINFO) == 512);
static_assert(offsetof(FSINFO, FSI_StrucSig) == 484);
static_assert(offsetof(FSINFO, FSI_Free_Count) == 488);
static_assert(offsetof(FSINFO, FSI_Nxt_Free) == 492);
static_assert(offsetof(FSINFO, FSI_TrailSig) == 508);

/// The first sector of each FAT: media and end-of-chain entries, cluster 2
/// (the root directory) one cluster long, every other cluster free.
struct FAT_SECTOR {
  std::uint32_t Entry[128];
  void Format();
};
static_assert(sizeof(FAT_SECTOR) == 512);

/// Alignment of every buffer written to an unbuffered device: a whole page,
/// which covers the sector size of any disk.
constexpr std::size_t kSectorBufferAlignment = 4096;

/// The process-wide templates, holding the boot code from program start;
/// each format fills their variable fields in place under the formatter's
/// lock and writes a copy, so that they hold the last format's records.
extern MASTER_BOOT_RECORD MasterBootRecord;
extern BOOT_RECORD_FAT32 BootRecord;
