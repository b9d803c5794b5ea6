#include "disk/boot_code.h"
#include "disk/boot_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>


namespace {

using corvantix::embedded::boot_fat32;
using corvantix::embedded::boot_mbr;

// Multi-byte fields of the packed records are compared as copies
// (std::uint32_t(...)): the checks take references, and a packed field may
// sit at an unaligned address.

constexpr std::uint64_t k2TiB = std::uint64_t(1) << 41;

SYSTEMTIME time_of(WORD year, WORD month, WORD day, WORD hour, WORD minute,
                   WORD second, WORD ms) {
  return {year, month, 2, day, hour, minute, second, ms};
}
const SYSTEMTIME kExampleTime = time_of(2011, 6, 21, 14, 35, 7, 250);

std::string bytes(const void *record, std::size_t offset, std::size_t size) {
  return std::string(static_cast<const char *>(record) + offset, size);
}

bool all_zero(const void *record, std::size_t from, std::size_t to) {
  auto *p = static_cast<const unsigned char *>(record);
  for (std::size_t i = from; i <= to; ++i)
    if (p[i])
      return false;
  return true;
}

// The records as the formatter builds them for a whole disk.
struct Built {
  MASTER_BOOT_RECORD mbr;
  BOOT_RECORD_FAT32 br;
};
Built build(std::uint64_t disk_size, const SYSTEMTIME &time = kExampleTime) {
  Built built{MasterBootRecord, BootRecord};
  built.mbr.CreatePrimaryPartition(disk_size);
  built.br.Format(std::min(disk_size, k2TiB) - 16384, time);
  return built;
}

TEST(BootTemplates, MasterBootCodeCarriesItsIdentifyingBytes) {
  ASSERT_EQ(corvantix::embedded::boot_mbr_size, 512u);
  const std::string prologue("\xFA\xFC\x31\xC0\x8E\xD0\x8E\xD8\xBD\x00\x7C", 11);
  EXPECT_EQ(bytes(boot_mbr, 0, 11), prologue);
  const std::string code = bytes(boot_mbr, 0, 271);
  for (const char *message : {"no active partition found",
                              "read error while reading drive",
                              "partition signature != 55AA"}) {
    std::size_t at = code.find(std::string(message) + '\0');
    EXPECT_NE(at, std::string::npos) << message << " in bytes 0-270";
  }
  EXPECT_TRUE(all_zero(boot_mbr, 271, 509));
  EXPECT_EQ(bytes(boot_mbr, 510, 2), "\x55\xAA");
}

TEST(BootTemplates, BootSectorCarriesItsIdentifyingBytes) {
  ASSERT_EQ(corvantix::embedded::boot_fat32_size, 512u);
  EXPECT_EQ(bytes(boot_fat32, 0, 3), "\xEB\x58\x90");
  EXPECT_EQ(bytes(boot_fat32, 3, 8), "FreeDOS ");
  EXPECT_TRUE(all_zero(boot_fat32, 11, 89));
  EXPECT_EQ(bytes(boot_fat32, 90, 9),
            std::string("\xFC\xFA\x29\xC0\x8E\xD8\xBD\x00\x7C", 9));
  EXPECT_EQ(bytes(boot_fat32, 449, 16), "Loading FreeDOS ");
  EXPECT_EQ(bytes(boot_fat32, 494, 14), "No KERNEL  SYS");
  EXPECT_EQ(boot_fat32[508], 0);
  EXPECT_EQ(bytes(boot_fat32, 510, 2), "\x55\xAA");
}

TEST(BootTemplates, ProgramStartsWithTheTemplatesSectorAligned) {
  // Formats in this process may have filled the variable fields; the code
  // and the signatures stay as assembled.
  EXPECT_EQ(bytes(&MasterBootRecord, 0, 440), bytes(boot_mbr, 0, 440));
  EXPECT_EQ(bytes(&MasterBootRecord, 462, 50), bytes(boot_mbr, 462, 50));
  EXPECT_EQ(bytes(&BootRecord, 0, 11), bytes(boot_fat32, 0, 11));
  EXPECT_EQ(bytes(&BootRecord, 90, 422), bytes(boot_fat32, 90, 422));
  // Unbuffered writes take the master boot record straight from here.
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&MasterBootRecord) %
                kSectorBufferAlignment, 0u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&BootRecord) %
                kSectorBufferAlignment, 0u);
}

struct WorkedRow {
  std::uint64_t disk;
  std::uint32_t partition_sectors;
  int per_cluster;
  std::uint32_t fat_sectors;
  std::uint32_t clusters;
};

TEST(BootRecords, WorkedValues) {
  const WorkedRow rows[] = {
      {33554432, 65504, 1, 504, 64464},
      {4026531840, 7864288, 8, 7665, 981115},
      {32000000000, 62499968, 32, 15252, 1952169},
      {1000000000000, 1953124968, 64, 238361, 30510128},
      {2199023255552, 4294967264, 64, 524161, 67092482},
  };
  for (const WorkedRow &row : rows) {
    SCOPED_TRACE(row.disk);
    Built built = build(row.disk);
    const PARTITION_TABLE_ENTRY &entry = built.mbr.Partition[0];
    EXPECT_EQ(std::uint32_t(entry.FirstSector), 32u);
    EXPECT_EQ(std::uint32_t(entry.SectorCount), row.partition_sectors);
    EXPECT_EQ(built.br.BPB_SecPerClus, row.per_cluster);
    EXPECT_EQ(std::uint32_t(built.br.BPB_TotSec32), row.partition_sectors);
    EXPECT_EQ(std::uint32_t(built.br.BPB_FATSz32), row.fat_sectors);
    EXPECT_EQ(built.br.ClusterCount(), row.clusters);
  }
}

TEST(BootRecords, PartitionEntryAndDiskSignature) {
  Built built = build(4026531840);
  const unsigned char expected[16] = {0x80, 0x00, 0x21, 0x00, 0x0C, 0xFF,
                                      0xFF, 0xFF, 32,   0,    0,    0,
                                      0xE0, 0xFF, 0x77, 0x00};
  EXPECT_EQ(bytes(&built.mbr, 446, 16), bytes(expected, 0, 16));
  EXPECT_EQ(bytes(&built.mbr, 440, 6), std::string("CXUB\0\0", 6));
  EXPECT_TRUE(all_zero(&built.mbr, 271, 439));
  EXPECT_TRUE(all_zero(&built.mbr, 462, 509));
  // Every disk carries the same signature.
  EXPECT_EQ(std::uint32_t(build(34105856).mbr.DiskSignature),
            std::uint32_t(built.mbr.DiskSignature));
}

TEST(BootRecords, DisksOfTwoTebibytesAndMoreEndAtTheLast32BitSector) {
  for (std::uint64_t size : {k2TiB, k2TiB + 512, std::uint64_t(3000000000000)}) {
    SCOPED_TRACE(size);
    Built built = build(size);
    EXPECT_EQ(std::uint32_t(built.mbr.Partition[0].FirstSector), 32u);
    EXPECT_EQ(std::uint32_t(built.mbr.Partition[0].SectorCount), 0xFFFFFFE0u);
    EXPECT_EQ(std::uint32_t(built.br.BPB_TotSec32), 4294967264u);
    EXPECT_EQ(built.br.BPB_SecPerClus, 64);
    EXPECT_EQ(std::uint32_t(built.br.BPB_FATSz32), 524161u);
  }
  // One sector less is still counted exactly.
  EXPECT_EQ(std::uint32_t(build(k2TiB - 512).mbr.Partition[0].SectorCount),
            0xFFFFFFDFu);
}

TEST(BootRecords, ClusterSizeBoundsBelongToTheSmallerSize) {
  const std::pair<std::uint64_t, int> bounds[] = {
      {512, 1}, {8192, 8}, {16384, 16}, {32768, 32}};
  const int next[] = {8, 16, 32, 64};
  int i = 0;
  for (auto [mib, per_cluster] : bounds) {
    BOOT_RECORD_FAT32 br = BootRecord;
    br.Format(mib << 20, kExampleTime);
    EXPECT_EQ(br.BPB_SecPerClus, per_cluster) << mib << " MiB";
    br.Format((mib + 1) << 20, kExampleTime);
    EXPECT_EQ(br.BPB_SecPerClus, next[i++]) << mib + 1 << " MiB";
    // A byte short of the next whole MiB still counts as the bound.
    br.Format(((mib + 1) << 20) - 1, kExampleTime);
    EXPECT_EQ(br.BPB_SecPerClus, per_cluster) << mib << " MiB + almost 1";
  }
}

TEST(BootRecords, SerialNumberFromTheLocalTime) {
  BOOT_RECORD_FAT32 br = BootRecord;
  br.Format(4026531840 - 16384, kExampleTime);
  EXPECT_EQ(std::uint32_t(br.BS_VolID), 0x15FE0D2Eu);
  EXPECT_EQ(bytes(&br, 67, 4), "\x2E\x0D\xFE\x15");
  // The day of the week plays no part; every other field does.
  SYSTEMTIME other_weekday = kExampleTime;
  other_weekday.wDayOfWeek = 5;
  BOOT_RECORD_FAT32 again = BootRecord;
  again.Format(4026531840 - 16384, other_weekday);
  EXPECT_EQ(std::uint32_t(again.BS_VolID), std::uint32_t(br.BS_VolID));
  SYSTEMTIME late = time_of(2099, 12, 31, 23, 59, 59, 999);
  again.Format(4026531840 - 16384, late);
  EXPECT_EQ(std::uint32_t(again.BS_VolID), (23u << 24) + ((2099u + 59) << 16) +
                                ((12u + 59) << 8) + 31 + 99);
}

TEST(BootRecords, FormatWritesOnlyItsOwnFields) {
  BOOT_RECORD_FAT32 br;
  std::memset(&br, 0xA5, sizeof br);
  br.Format(32000000000 - 16384, kExampleTime);
  auto *raw = reinterpret_cast<unsigned char *>(&br);
  for (std::size_t i = 0; i < 11; ++i)
    EXPECT_EQ(raw[i], 0xA5) << i;
  for (std::size_t i = 52; i < 64; ++i)
    EXPECT_EQ(raw[i], 0xA5) << i;
  EXPECT_EQ(raw[65], 0xA5);
  for (std::size_t i = 90; i < 512; ++i)
    ASSERT_EQ(raw[i], 0xA5) << i;
  EXPECT_EQ(bytes(&br, 71, 11), "NO NAME    ");
  EXPECT_EQ(bytes(&br, 82, 8), "FAT32   ");
  EXPECT_EQ(raw[82], 'F');

  const unsigned char fixed[] = {0x00, 0x02, 32,   0x20, 0x00, 0x02, 0x00,
                                 0x00, 0x00, 0x00, 0xF8, 0x00, 0x00, 63,
                                 0x00, 0xFF, 0x00, 32,   0,    0,    0};
  EXPECT_EQ(bytes(&br, 11, sizeof fixed), bytes(fixed, 0, sizeof fixed));
  const unsigned char tail[] = {0, 0, 0, 0, 2, 0, 0, 0, 1, 0, 6, 0};
  EXPECT_EQ(bytes(&br, 40, sizeof tail), bytes(tail, 0, sizeof tail));
  EXPECT_EQ(raw[64], 0x80);
  EXPECT_EQ(raw[66], 0x29);

  MASTER_BOOT_RECORD mbr;
  std::memset(&mbr, 0xA5, sizeof mbr);
  mbr.CreatePrimaryPartition(32000000000);
  auto *m = reinterpret_cast<unsigned char *>(&mbr);
  for (std::size_t i = 0; i < 440; ++i)
    ASSERT_EQ(m[i], 0xA5) << i;
  for (std::size_t i = 462; i < 512; ++i)
    ASSERT_EQ(m[i], 0xA5) << i;
}

TEST(BootRecords, TheBootCodeStaysIntactAroundTheLabels) {
  Built built = build(4026531840);
  EXPECT_EQ(bytes(&built.br, 90, 420), bytes(boot_fat32, 90, 420));
  EXPECT_EQ(bytes(&built.br, 0, 11), bytes(boot_fat32, 0, 11));
  EXPECT_TRUE(all_zero(&built.br, 52, 63));
  EXPECT_EQ(bytes(&built.br, 65, 1), std::string(1, '\0'));
}

// With D = TotSec32 - 32, the estimate leaves the FAT one entry short when
// D >= F * (128 * S + 2) - S. Then the FAT gets one more sector.
TEST(BootRecords, EveryClusterHasAFatEntry) {
  struct Case {
    std::uint32_t total;
    int per_cluster;
    std::uint32_t estimate;
  };
  const Case short_cases[] = {{65551, 1, 504}, {1050648, 8, 1024}};
  for (const Case &c : short_cases) {
    BOOT_RECORD_FAT32 br = BootRecord;
    std::uint64_t volume = std::uint64_t(c.total) * 512;
    br.Format(volume, kExampleTime);
    ASSERT_EQ(br.BPB_SecPerClus, c.per_cluster);
    EXPECT_EQ(std::uint32_t(br.BPB_FATSz32), c.estimate + 1) << c.total;
    EXPECT_LE(br.ClusterCount() + 2, 128 * std::uint32_t(br.BPB_FATSz32));
  }

  // Across many sizes of every cluster size: all clusters covered, and the
  // FAT never more than the estimate plus one.
  const std::uint64_t starts[] = {33 << 20, 600ull << 20, 9000ull << 20,
                                  17000ull << 20, 40000ull << 20};
  for (std::uint64_t start : starts)
    for (std::uint64_t sectors = 0; sectors < 20000; sectors += 7) {
      std::uint64_t volume = start + sectors * 512;
      BOOT_RECORD_FAT32 br = BootRecord;
      br.Format(volume, kExampleTime);
      std::uint64_t data = br.BPB_TotSec32 - 32;
      std::uint64_t estimate =
          4 * data / (512 * std::uint64_t(br.BPB_SecPerClus) + 8) + 1;
      ASSERT_LE(std::uint64_t(br.ClusterCount()) + 2,
                128ull * std::uint32_t(br.BPB_FATSz32))
          << volume;
      std::uint64_t s = br.BPB_SecPerClus;
      bool one_short = data >= estimate * (128 * s + 2) - s;
      ASSERT_EQ(std::uint32_t(br.BPB_FATSz32), estimate + (one_short ? 1 : 0))
          << volume;
    }
}

TEST(BootRecords, FsInfoAndFirstFatSector) {
  FSINFO info;
  std::memset(&info, 0x77, sizeof info);
  info.Format();
  EXPECT_EQ(bytes(&info, 0, 4), "RRaA");
  EXPECT_EQ(bytes(&info, 484, 4), "rrAa");
  EXPECT_EQ(bytes(&info, 488, 8), std::string(8, '\xFF'));
  EXPECT_EQ(bytes(&info, 508, 4), std::string("\0\0\x55\xAA", 4));
  EXPECT_TRUE(all_zero(&info, 4, 483));
  EXPECT_TRUE(all_zero(&info, 496, 507));

  FAT_SECTOR fat;
  std::memset(&fat, 0x77, sizeof fat);
  fat.Format();
  EXPECT_EQ(bytes(&fat, 0, 12),
            "\xF8\xFF\xFF\x0F\xFF\xFF\xFF\x0F\xFF\xFF\xFF\x0F");
  EXPECT_TRUE(all_zero(&fat, 12, 511));
}

TEST(BootRecords, SameSizeAndTimeGiveTheSameSectorsAfterOtherFormats) {
  MasterBootRecord.CreatePrimaryPartition(4026531840);
  BootRecord.Format(4026531840 - 16384, kExampleTime);
  Built first{MasterBootRecord, BootRecord};

  MasterBootRecord.CreatePrimaryPartition(3000000000000);
  BootRecord.Format(k2TiB - 16384, time_of(2020, 1, 2, 3, 4, 5, 6));
  MasterBootRecord.CreatePrimaryPartition(4026531840);
  BootRecord.Format(4026531840 - 16384, kExampleTime);
  EXPECT_EQ(bytes(&MasterBootRecord, 0, 512), bytes(&first.mbr, 0, 512));
  EXPECT_EQ(bytes(&BootRecord, 0, 512), bytes(&first.br, 0, 512));
}

TEST(BootRecords, FormatWithoutATimeReadsTheClock) {
  SYSTEMTIME before, after;
  BOOT_RECORD_FAT32 br = BootRecord, expect_before = BootRecord,
                    expect_after = BootRecord;
  GetLocalTime(&before);
  br.Format(1 << 30);
  GetLocalTime(&after);
  expect_before.Format(1 << 30, before);
  expect_after.Format(1 << 30, after);
  EXPECT_TRUE(br.BS_VolID == expect_before.BS_VolID ||
              br.BS_VolID == expect_after.BS_VolID);
  EXPECT_EQ(bytes(&br, 0, 67), bytes(&expect_before, 0, 67));
}

} // namespace
