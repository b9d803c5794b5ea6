#include "disk/boot_records.h"
#include "disk/formatter.h"
#include "disk/raw_device.h"
#include "host/emulated_disks.h"
#include "host/stick_files.h"
#include "platform/filesystem.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

namespace fs = std::filesystem;
namespace emulation = corvantix::emulation;
using corvantix::emulation::DeviceWrite;
using corvantix::emulation::Disk;
using corvantix::emulation::Machine;
using corvantix::emulation::virtual_blocks;

constexpr const char *kDisk = "\\\\.\\PhysicalDrive1";
using corvantix::test::kMiB;

const SYSTEMTIME kTime = {2011, 6, 2, 21, 14, 35, 7, 250};

std::uint32_t le32(const std::string &bytes, std::size_t at) {
  std::uint32_t value;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

std::string record(const void *data) {
  return std::string(static_cast<const char *>(data), 512);
}

class Formatter : public corvantix::test::EmulatedDisks {
protected:
  // The lock's pauses between tries pass at once, and are counted.
  void SetUp() override {
    EmulatedDisks::SetUp();
    emulation::use_virtual_clock(true);
    emulation::reset_sleep_count();
  }
  void TearDown() override {
    emulation::use_virtual_clock(false);
    EmulatedDisks::TearDown();
  }

  // A 256 MiB stick as sold, mounted as E:, with marks in LBA 1-31 and in
  // the sectors right after the area that a format writes.
  Machine &shop_stick() {
    image = dir() / "stick.img";
    Machine &machine = machine_with(stick(image, 256 * kMiB));
    for (int lba = 1; lba < 32; ++lba)
      write(image, lba * 512, pattern(lba));
    write(image, 32 * 512 + kShopAreaSize, pattern(100));
    write(image, 255 * kMiB, pattern(101));
    before = read(image, 0, 16 * kMiB);
    machine.calls().clear();
    return machine;
  }

  // What a format of a 256 MiB disk writes from LBA 32: 32 reserved
  // sectors, two FATs of 4,033 sectors and three clusters of one sector.
  static constexpr std::uint32_t kFatSectors = 4033;
  static constexpr std::uint32_t kShopAreaSize = (32 + 2 * kFatSectors + 3) * 512;

  void expect_unchanged() {
    EXPECT_EQ(read(image, 0, 16 * kMiB), before) << "the disk changed";
    EXPECT_TRUE(Machine::current().writes().empty());
  }

  void expect_all_released() {
    EXPECT_TRUE(Machine::current().handles().empty());
    EXPECT_EQ(virtual_blocks(), 0u);
    Disk &disk = *Machine::current().disk_by_number(1);
    EXPECT_FALSE(disk.volume_locked);
    EXPECT_EQ(disk.open_volume_handles, 0);
  }

  std::vector<std::string> calls_from(std::size_t first) {
    auto &calls = Machine::current().calls();
    return {calls.begin() + std::ptrdiff_t(first), calls.end()};
  }

  fs::path image;
  std::string before;
};

TEST_F(Formatter, LaysOutTheWholeStickInTwoWrites) {
  Machine &machine = shop_stick();
  corvantix::emulation::set_local_time(&kTime);
  ASSERT_EQ(CreatePartitionAndFormatFAT32(kDisk, 'E'), 0u);

  const std::string open = " C0000000 3 3 20000000";
  const std::string size = std::to_string(kShopAreaSize);
  EXPECT_EQ(machine.calls(), (std::vector<std::string>{
      "CreateFileA \\\\.\\E:" + open,
      "CreateFileA \\\\.\\PhysicalDrive1" + open,
      "DeviceIoControl \\\\.\\E: FSCTL_LOCK_VOLUME",
      "DeviceIoControl \\\\.\\PhysicalDrive1 IOCTL_DISK_GET_DRIVE_GEOMETRY_EX",
      "VirtualAlloc " + size,
      "SetFilePointer \\\\.\\PhysicalDrive1 16384 0",
      "WriteFile \\\\.\\PhysicalDrive1 " + size,
      "SetFilePointer \\\\.\\PhysicalDrive1 0 0",
      "WriteFile \\\\.\\PhysicalDrive1 512",
      "DeviceIoControl \\\\.\\E: FSCTL_UNLOCK_VOLUME",
      "CloseHandle \\\\.\\PhysicalDrive1",
      "CloseHandle \\\\.\\E:",
      "VirtualFree"}));
  EXPECT_EQ(machine.writes(), (std::vector<DeviceWrite>{
      {1, false, 16384, kShopAreaSize}, {1, false, 0, 512}}));
  expect_all_released();

  std::string disk = read(image, 0, 16 * kMiB);
  auto sector = [&](std::uint64_t lba) { return disk.substr(lba * 512, 512); };
  const std::string zero(512, '\0');
  EXPECT_EQ(sector(0), record(&MasterBootRecord));
  EXPECT_EQ(le32(sector(0), 446 + 8), 32u);
  EXPECT_EQ(le32(sector(0), 446 + 12), 256 * kMiB / 512 - 32);
  for (int lba = 1; lba < 32; ++lba)
    EXPECT_EQ(sector(lba), pattern(lba)) << "LBA " << lba;
  EXPECT_EQ(sector(32), record(&BootRecord));
  EXPECT_EQ(le32(sector(32), 36), kFatSectors);
  EXPECT_EQ(le32(sector(32), 67), 0x15FE0D2Eu);
  FSINFO info;
  info.Format();
  EXPECT_EQ(sector(33), record(&info));
  EXPECT_EQ(sector(38), sector(32));
  EXPECT_EQ(sector(39), sector(33));
  for (int lba : {34, 35, 36, 37, 40, 50, 63})
    EXPECT_EQ(sector(lba), zero) << "LBA " << lba;
  FAT_SECTOR fat;
  fat.Format();
  for (std::uint64_t first : {64u, 64u + kFatSectors}) {
    EXPECT_EQ(sector(first), record(&fat)) << "FAT at " << first;
    for (std::uint64_t lba = first + 1; lba < first + kFatSectors; lba += 97)
      ASSERT_EQ(sector(lba), zero) << "LBA " << lba;
    EXPECT_EQ(sector(first + kFatSectors - 1), zero);
  }
  std::uint64_t data = 64 + 2 * kFatSectors;
  for (std::uint64_t lba = data; lba < data + 3; ++lba)
    EXPECT_EQ(sector(lba), zero) << "cluster " << lba - data + 2;
  EXPECT_EQ(sector(data + 3), pattern(100)) << "after cluster 4";
  EXPECT_EQ(read(image, 255 * kMiB, 512), pattern(101));
}

TEST_F(Formatter, TheNewFileSystemMountsEmptyAfterTheDeviceRestarts) {
  Machine &machine = shop_stick();
  Disk &disk = *machine.disk_by_number(1);
  ASSERT_TRUE(disk.mounted);
  ASSERT_TRUE(corvantix::test::StickFiles::of('E').exists("README.TXT"));
  ASSERT_EQ(CreatePartitionAndFormatFAT32(kDisk, 'E'), 0u);

  // Until the restart the volume's files cannot be reached.
  EXPECT_TRUE(disk.stale);
  EXPECT_FALSE(corvantix::platform::native_file_system().volume_ready("E:\\"));
  machine.dismount(disk);
  ASSERT_TRUE(machine.mount(disk));
  EXPECT_TRUE(corvantix::platform::native_file_system().folder_empty("E:\\"));
  EXPECT_EQ(disk.volume_offset, 16384u);
  EXPECT_EQ(read(image, 32 * 512, 512), record(&BootRecord));
}

// The failure rows: which call fails, what comes back, what the disk holds.
struct FailureRow {
  const char *function;
  int skip;
  DWORD code;
  DWORD result;
  enum { Unchanged, NewAreaOldMbr, Complete } disk;
  bool buffer_allocated;
};

TEST_F(Formatter, EveryFailingStepReturnsItsCodeAndReleasesEverything) {
  const FailureRow rows[] = {
      {"CreateFileA", 0, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED,
       FailureRow::Unchanged, false},
      {"CreateFileA", 1, ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION,
       FailureRow::Unchanged, false},
      {"FSCTL_LOCK_VOLUME", 0, ERROR_LOCK_VIOLATION, ERROR_LOCK_VIOLATION,
       FailureRow::Unchanged, false},
      {"IOCTL_DISK_GET_DRIVE_GEOMETRY_EX", 0, ERROR_NOT_READY,
       ERROR_NOT_READY, FailureRow::Unchanged, false},
      {"VirtualAlloc", 0, ERROR_INVALID_PARAMETER, ERROR_NOT_ENOUGH_MEMORY,
       FailureRow::Unchanged, false},
      {"SetFilePointer", 0, ERROR_SEEK, ERROR_SEEK, FailureRow::Unchanged,
       true},
      {"WriteFile", 0, ERROR_WRITE_FAULT, ERROR_WRITE_FAULT,
       FailureRow::Unchanged, true},
      {"SetFilePointer", 1, ERROR_SEEK, ERROR_SEEK, FailureRow::NewAreaOldMbr,
       true},
      {"WriteFile", 1, ERROR_GEN_FAILURE, ERROR_GEN_FAILURE,
       FailureRow::NewAreaOldMbr, true},
      {"FSCTL_UNLOCK_VOLUME", 0, ERROR_NOT_LOCKED, ERROR_NOT_LOCKED,
       FailureRow::Complete, true},
  };
  for (const FailureRow &row : rows) {
    SCOPED_TRACE(std::string(row.function) + " #" + std::to_string(row.skip));
    Machine &machine = shop_stick();
    machine.fail_call(row.function, row.code, row.skip);
    EXPECT_EQ(CreatePartitionAndFormatFAT32(kDisk, 'E'), row.result);
    expect_all_released();

    // The handles close disk first, then volume; the buffer goes last.
    std::vector<std::string> tail;
    for (const std::string &call : machine.calls())
      if (call.rfind("CloseHandle", 0) == 0 || call == "VirtualFree")
        tail.push_back(call);
    std::vector<std::string> closes;
    if (row.skip == 1 && std::string(row.function) == "CreateFileA")
      closes = {"CloseHandle \\\\.\\E:"};
    else if (std::string(row.function) != "CreateFileA")
      closes = {"CloseHandle \\\\.\\PhysicalDrive1", "CloseHandle \\\\.\\E:"};
    if (row.buffer_allocated)
      closes.push_back("VirtualFree");
    EXPECT_EQ(tail, closes);
    bool unlocked = std::find(machine.calls().begin(), machine.calls().end(),
                              "DeviceIoControl \\\\.\\E: FSCTL_UNLOCK_VOLUME") !=
                    machine.calls().end();
    EXPECT_EQ(unlocked, row.disk == FailureRow::Complete);

    std::string now = read(image, 0, 16 * kMiB);
    switch (row.disk) {
    case FailureRow::Unchanged:
      EXPECT_EQ(now, before);
      break;
    case FailureRow::NewAreaOldMbr:
      EXPECT_EQ(now.substr(0, 512), before.substr(0, 512));
      EXPECT_EQ(now.substr(32 * 512, 512), record(&BootRecord));
      break;
    case FailureRow::Complete:
      EXPECT_EQ(now.substr(0, 512), record(&MasterBootRecord));
      EXPECT_EQ(now.substr(32 * 512, 512), record(&BootRecord));
      break;
    }
    Machine::install(nullptr);
    fs::remove_all(dir() / "state");
    fs::remove(image);
  }
}

TEST_F(Formatter, ALetterWithoutVolumeOpensNothing) {
  Machine &machine = shop_stick();
  EXPECT_EQ(CreatePartitionAndFormatFAT32(kDisk, 'F'),
            DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(machine.calls().size(), 1u);
  expect_all_released();
  expect_unchanged();
  EXPECT_EQ(CreatePartitionAndFormatFAT32("\\\\.\\PhysicalDrive7", 'E'),
            DWORD(ERROR_FILE_NOT_FOUND));
  expect_all_released();
  expect_unchanged();
}

TEST_F(Formatter, AVolumeThatOthersHoldOpenIsNotWritten) {
  Machine &machine = shop_stick();
  Disk &disk = *machine.disk_by_number(1);
  disk.held_open = true;
  EXPECT_EQ(CreatePartitionAndFormatFAT32(kDisk, 'E'),
            DWORD(ERROR_ACCESS_DENIED));
  expect_all_released();
  expect_unchanged();

  // Held without sharing writes, the volume does not even open.
  disk.held_share_mode = FILE_SHARE_READ;
  EXPECT_EQ(CreatePartitionAndFormatFAT32(kDisk, 'E'),
            DWORD(ERROR_SHARING_VIOLATION));
  expect_unchanged();

  // A handle of this process counts as well.
  disk.held_open = false;
  HANDLE other = CreateFileA("\\\\.\\E:", GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreatePartitionAndFormatFAT32(kDisk, 'E'),
            DWORD(ERROR_ACCESS_DENIED));
  CloseHandle(other);
  expect_all_released();
  expect_unchanged();
}

// Explorer, the indexer or a virus scanner hold a stick's volume for a
// moment: the lock is tried a few times, a pause apart, before the format
// gives up with the holder's code.
TEST_F(Formatter, TheLockWaitsForAHolderThatLetsGo) {
  const struct {
    const char *what;
    DWORD share;     // how the holder shares the volume
    int refusals;    // after which it lets go; 0 never
    DWORD result;
    int locks;       // FSCTL_LOCK_VOLUME calls made
    int volume_opens;
    int pauses;
  } rows[] = {
      {"lets go after one", 3, 1, 0, 2, 1, 1},
      {"lets go after the fourth", 3, 4, 0, 5, 1, 4},
      {"holds on", 3, 0, ERROR_ACCESS_DENIED, kVolumeLockTries, 1,
       kVolumeLockTries - 1},
      {"holds on past the tries", 3, kVolumeLockTries + 1, ERROR_ACCESS_DENIED,
       kVolumeLockTries, 1, kVolumeLockTries - 1},
      // Unshared, the volume does not even open; the lock tries the open.
      {"unshared, lets go after two", FILE_SHARE_READ, 2, 0, 1, 3, 1},
      {"unshared, holds on", FILE_SHARE_READ, 0, ERROR_SHARING_VIOLATION, 0,
       1 + kVolumeLockTries, kVolumeLockTries - 1},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    Machine &machine = shop_stick();
    ASSERT_EQ(machine.hold_volume('E', "Scanner", row.share, row.refusals), 0u);
    emulation::reset_sleep_count();
    EXPECT_EQ(CreatePartitionAndFormatFAT32(kDisk, 'E'), row.result);
    expect_all_released();
    auto count = [&](const std::string &line) {
      return std::count(machine.calls().begin(), machine.calls().end(), line);
    };
    EXPECT_EQ(count("DeviceIoControl \\\\.\\E: FSCTL_LOCK_VOLUME"), row.locks);
    int opens = 0;
    for (const std::string &call : machine.calls())
      opens += call.rfind("CreateFileA \\\\.\\E:", 0) == 0;
    EXPECT_EQ(opens, row.volume_opens);
    EXPECT_EQ(emulation::sleep_calls(), std::size_t(row.pauses));
    EXPECT_EQ(emulation::slept_milliseconds(), row.pauses * kVolumeLockPause);
    if (row.result)
      expect_unchanged();
    else
      EXPECT_EQ(read(image, 0, 512), record(&MasterBootRecord));
    Machine::install(nullptr);
    fs::remove_all(dir() / "state");
    fs::remove(image);
  }
}

// What stopped a lock tells the caller whether to name a holder: another
// program, or a refusal of the system's own (a missing volume, no rights).
TEST_F(Formatter, ALockFailureSaysWhetherAnotherProgramHoldsTheVolume) {
  Machine &machine = shop_stick();
  const struct {
    const char *what;
    std::function<void()> arrange;
    DWORD code;
    bool held;
  } rows[] = {
      {"held", [&] { machine.hold_volume('E', "Scanner"); },
       ERROR_ACCESS_DENIED, true},
      {"held unshared", [&] { machine.hold_volume('E', "", FILE_SHARE_READ); },
       ERROR_SHARING_VIOLATION, true},
      {"no rights to open",
       [&] { machine.fail_call("CreateFileA", ERROR_ACCESS_DENIED); },
       ERROR_ACCESS_DENIED, false},
      {"lock refused otherwise",
       [&] { machine.fail_call("FSCTL_LOCK_VOLUME", ERROR_NOT_READY); },
       ERROR_NOT_READY, false},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    Disk &disk = *machine.disk_by_number(1);
    disk.held_open = false;
    disk.held_share_mode = 3;
    machine.clear_faults();
    row.arrange();
    VolumeLock volume('E');
    EXPECT_EQ(volume.Take(), row.code);
    EXPECT_EQ(volume.HeldByOther(), row.held);
    EXPECT_FALSE(volume.Locked());
  }
  VolumeLock missing('F');
  EXPECT_EQ(missing.Take(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(missing.HeldByOther());
}

TEST_F(Formatter, RefusesDisksTooSmallForFat32BeforeWriting) {
  // 34,105,856 bytes give exactly 65,525 clusters: the smallest FAT32.
  for (std::uint64_t size : {std::uint64_t(33554432), std::uint64_t(34105344),
                             std::uint64_t(34105855), std::uint64_t(16384),
                             std::uint64_t(8192)}) {
    SCOPED_TRACE(size);
    image = dir() / ("small-" + std::to_string(size) + ".img");
    Machine &machine = machine_with(stick(image, size, true));
    EXPECT_EQ(CreatePartitionAndFormatFAT32(kDisk, 'E'), kErrorDiskTooSmall);
    EXPECT_TRUE(machine.writes().empty());
    EXPECT_EQ(read(image, 0, size), std::string(size, '\0'));
    expect_all_released();
  }
  image = dir() / "smallest.img";
  Machine &machine = machine_with(stick(image, 34105856, true));
  EXPECT_EQ(CreatePartitionAndFormatFAT32(kDisk, 'E'), 0u);
  EXPECT_EQ(BootRecord.ClusterCount(), 65525u);
  EXPECT_EQ(machine.writes().size(), 2u);
}

TEST_F(Formatter, RefusesSectorsOtherThan512BeforeWriting) {
  for (std::uint32_t sector : {4096u, 2048u, 1024u, 256u}) {
    SCOPED_TRACE(sector);
    image = dir() / "4k.img";
    auto config = stick(image, 64 * kMiB, true);
    config.sector_size = sector;
    Machine &machine = machine_with(config);
    EXPECT_EQ(CreatePartitionAndFormatFAT32(kDisk, 'E'), kErrorSectorSize);
    EXPECT_TRUE(machine.writes().empty());
    EXPECT_EQ(allocated(image), 0u);
    expect_all_released();
    Machine::install(nullptr);
    fs::remove(image);
  }
}

struct SizeRow {
  std::uint64_t disk;
  std::uint32_t partition_sectors;
  int per_cluster;
  std::uint32_t fat_sectors;
  std::uint32_t written;
};

TEST_F(Formatter, SparseDisksOfEveryRowGetTheirLayoutAndStaySparse) {
  const SizeRow rows[] = {
      {4026531840, 7864288, 8, 7665, 7877632},
      {32000000000, 62499968, 32, 15252, 15683584},
      {1000000000000, 1953124968, 64, 238361, (2 * 238361 + 192 + 32) * 512},
      {2199023255552, 4294967264, 64, 524161, 536855552},
      {3000000000000, 4294967264, 64, 524161, 536855552},
  };
  for (const SizeRow &row : rows) {
    SCOPED_TRACE(row.disk);
    image = dir() / "sparse.img";
    Machine &machine = machine_with(stick(image, row.disk, true));
    ASSERT_EQ(CreatePartitionAndFormatFAT32(kDisk, 'E'), 0u);
    EXPECT_EQ(machine.writes(), (std::vector<DeviceWrite>{
        {1, false, 16384, row.written}, {1, false, 0, 512}}));
    std::string mbr = read(image, 0, 512);
    EXPECT_EQ(le32(mbr, 446 + 8), 32u);
    EXPECT_EQ(le32(mbr, 446 + 12), row.partition_sectors);
    std::string boot = read(image, 16384, 512);
    EXPECT_EQ(std::uint8_t(boot[13]), row.per_cluster);
    EXPECT_EQ(le32(boot, 32), row.partition_sectors);
    EXPECT_EQ(le32(boot, 36), row.fat_sectors);
    // The FATs are zeros: they are holes, not hundreds of written MiB.
    EXPECT_LT(allocated(image), 256u * 1024);
    Machine::install(nullptr);
    fs::remove(image);
  }
}

TEST_F(Formatter, SameDiskAndClockGiveTheSameBytesAgain) {
  corvantix::emulation::set_local_time(&kTime);
  image = dir() / "again.img";
  fs::path other = dir() / "other.img";
  {
    auto second = stick(other, 40 * kMiB, true);
    second.letter = 'F';
    emulation::DiskConfig first = stick(image, 4026531840, true);
    Machine::install(std::make_unique<Machine>(
        std::vector<emulation::DiskConfig>{first, second}, dir() / "state"));
  }
  const std::uint64_t area = 16384 + 7877632 + 4096;
  ASSERT_EQ(CreatePartitionAndFormatFAT32("\\\\.\\PhysicalDrive0", 'E'), 0u);
  std::string first = read(image, 0, area);
  ASSERT_EQ(CreatePartitionAndFormatFAT32("\\\\.\\PhysicalDrive1", 'F'), 0u);
  ASSERT_EQ(CreatePartitionAndFormatFAT32("\\\\.\\PhysicalDrive0", 'E'), 0u);
  EXPECT_EQ(read(image, 0, area), first);
}

TEST_F(Formatter, WipeOverwritesOnlyTheMasterBootRecord) {
  Machine &machine = shop_stick();
  ASSERT_EQ(WipeMBR(kDisk), 0u);
  EXPECT_EQ(machine.calls(), (std::vector<std::string>{
      "CreateFileA \\\\.\\PhysicalDrive1 C0000000 0 3 20000000",
      "SetFilePointer \\\\.\\PhysicalDrive1 0 0",
      "WriteFile \\\\.\\PhysicalDrive1 512",
      "CloseHandle \\\\.\\PhysicalDrive1"}));
  std::string now = read(image, 0, 16 * kMiB);
  EXPECT_EQ(now.substr(0, 512), std::string(512, '\xFF'));
  EXPECT_EQ(now.substr(512), before.substr(512));
  expect_all_released();

  // Without a partition table there is no file system to mount.
  Disk &disk = *machine.disk_by_number(1);
  machine.dismount(disk);
  EXPECT_FALSE(machine.mount(disk));
}

TEST_F(Formatter, WipeFailuresReturnTheirCodeAndCloseTheDisk) {
  Machine &machine = shop_stick();
  // The wipe wants the disk to itself.
  HANDLE other = CreateFileA(kDisk, GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(WipeMBR(kDisk), DWORD(ERROR_SHARING_VIOLATION));
  CloseHandle(other);
  expect_unchanged();

  for (const char *function : {"CreateFileA", "SetFilePointer", "WriteFile"}) {
    SCOPED_TRACE(function);
    machine.calls().clear();
    machine.fail_call(function, ERROR_IO_DEVICE);
    EXPECT_EQ(WipeMBR(kDisk), DWORD(ERROR_IO_DEVICE));
    bool opened = std::string(function) != "CreateFileA";
    EXPECT_EQ(machine.calls().back() == "CloseHandle \\\\.\\PhysicalDrive1",
              opened);
    expect_all_released();
    expect_unchanged();
  }
}

TEST_F(Formatter, UnbufferedWritesNeedSectorAlignedBuffers) {
  Machine &machine = shop_stick();
  HANDLE disk = CreateFileA(kDisk, GENERIC_READ | GENERIC_WRITE, 3, nullptr,
                            OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
  ASSERT_NE(disk, INVALID_HANDLE_VALUE);
  alignas(4096) static unsigned char sectors[2048];
  std::memset(sectors, 0xC3, sizeof sectors);
  EXPECT_EQ(WriteSector(disk, 512, 512, sectors + 8),
            DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(WriteSector(disk, 512, 500, sectors), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(WriteSector(disk, 100, 512, sectors), DWORD(ERROR_INVALID_PARAMETER));
  expect_unchanged();
  EXPECT_EQ(WriteSector(disk, 512, 1024, sectors + 512), 0u);
  EXPECT_EQ(read(image, 512, 1024), std::string(1024, '\xC3'));
  // Beyond the disk's end no sector is found.
  EXPECT_EQ(WriteSector(disk, 0x7FFFFE00, 512, sectors),
            DWORD(ERROR_SECTOR_NOT_FOUND));
  // Positions from 2^31 on do not fit the seek without a high part.
  EXPECT_EQ(WriteSector(disk, 0x80000000u, 512, sectors),
            DWORD(ERROR_NEGATIVE_SEEK));
  // The file system's sectors take raw writes only under the volume lock.
  EXPECT_EQ(WriteSector(disk, 1 << 20, 512, sectors),
            DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(machine.writes().size(), 1u);
  CloseHandle(disk);
}

} // namespace
