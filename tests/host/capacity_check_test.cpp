// A stick that does not keep what is written to it is never reported
// prepared: the capacity check refuses a counterfeit before the format and
// leaves every file where it was, genuine sticks of every size pass it, and
// a restore that the stick gives back wrong keeps the backup.
#include "disk/capacity.h"
#include "disk/raw_device.h"
#include "host/emulated_disks.h"
#include "platform/host/machine/machine.h"
#include "strings/res.h"
#include "unit/fault_file_system.h"

#include "whole_run.h"

#include <algorithm>
#include <cstring>

namespace corvantix {
namespace {

namespace fs = std::filesystem;
using test::TreeState;
constexpr std::uint64_t kGiB = std::uint64_t(1) << 30;

/// The disk tests' reads and writes of an image.
struct DiskImage : test::EmulatedDisks {
  using EmulatedDisks::read, EmulatedDisks::write;
};

TEST(CapacityProbes, CoverTheWholeDiskInABoundedNumberOfSectors) {
  for (std::uint64_t sectors : {std::uint64_t(1), std::uint64_t(1000),
                                std::uint64_t(1) << 17, std::uint64_t(1) << 32,
                                (std::uint64_t(1) << 32) + 7}) {
    std::vector<std::uint64_t> probes = CapacityProbes(sectors);
    EXPECT_EQ(probes.front(), 0u);
    EXPECT_EQ(probes.back(), sectors - 1);
    EXPECT_TRUE(std::adjacent_find(probes.begin(), probes.end(),
                                   std::greater_equal<>()) == probes.end());
    EXPECT_LE(probes.size(), 140u) << sectors;
    for (std::uint64_t power = 1; power < sectors; power <<= 1)
      EXPECT_TRUE(std::binary_search(probes.begin(), probes.end(), power));
  }
}

using CapacityCheck = test::WholeRun;

TEST_F(CapacityCheck, ACounterfeitStickIsRefusedWithEveryFileKept) {
  const struct {
    std::uint64_t size, real;
  } cases[] = {{256 << 20, 64 << 20}, {kGiB, 200 << 20}, {64 * kGiB, 8 * kGiB}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.size >> 20) + " MB keeping " +
                 std::to_string(c.real >> 20));
    emulation::Machine::install(nullptr);
    fs::remove(image);
    emulation::DiskConfig config =
        stick("stick", 'E', emulation::NodeBehaviour::Normal, c.size, true);
    config.real_size = c.real; // a shop stick that keeps less than it reports
    install({config});
    files().put("NOTES.TXT", "my notes\r\n");
    files().put("GAMES/SAVE/SYSTEM.BIN", "system file", emulation::kDosSystem);
    TreeState before = files().state();
    toolkit.mains.clear();
    run({"-s", "E"});
    // What answered: up to the last probe that lies below the real end.
    std::uint64_t kept = 0;
    for (std::uint64_t probe : CapacityProbes(c.size / 512))
      if ((probe + 1) * 512 <= c.real)
        kept = (probe + 1) * 512;
    EXPECT_EQ(results(), std::vector<std::string>{Res::format(
                             "USB_ERR_CAPACITY", kept >> 20, c.size >> 20)});
    EXPECT_TRUE(backups().empty()) << "nothing to put back";
    EXPECT_EQ(drive_txt(), "");
    emulation::Machine::install(nullptr);
    EXPECT_EQ(files().state(), before);
  }
}

TEST_F(CapacityCheck, GenuineSticksOfEverySizePassUnchanged) {
  for (std::uint64_t size : {std::uint64_t(64) << 20, 4 * kGiB, 32 * kGiB, 2048 * kGiB}) {
    SCOPED_TRACE(size >> 20);
    emulation::Machine::install(nullptr);
    fs::remove(image);
    install({stick("stick", 'E', emulation::NodeBehaviour::Normal, size, false)});
    const std::string first(512, 'f'), last(512, 'l');
    DiskImage::write(image, 1 << 20, first);
    DiskImage::write(image, size - 512, last);
    std::uint64_t kept = 1;
    EXPECT_EQ(CheckDiskCapacity("\\\\.\\PhysicalDrive0", 'E', kept), 0u);
    EXPECT_EQ(kept, 0u);
    EXPECT_EQ(DiskImage::read(image, 1 << 20, 512), first);
    EXPECT_EQ(DiskImage::read(image, size - 512, 512), last);
  }
}

// Cut off at any write of the check, a stick keeps its partition table,
// and with it its drive letter: the next start finds it and finishes.
TEST_F(CapacityCheck, ThePartitionTableOutlastsEveryWriteOfTheCheck) {
  make_stick(64 << 20);
  const std::string table = DiskImage::read(image, 440, 72);
  std::size_t writes = 2 * CapacityProbes((64 << 20) / 512).size();
  std::size_t torn = 0;
  for (std::size_t i = 0; i < writes; ++i)
    emulation::Machine::current().act_on_call("WriteFile", [&] {
      torn += DiskImage::read(image, 440, 72) != table;
    });
  std::uint64_t kept = 1;
  EXPECT_EQ(CheckDiskCapacity("\\\\.\\PhysicalDrive0", 'E', kept), 0u);
  EXPECT_EQ(torn, 0u) << "writes that met a torn partition table";
  EXPECT_EQ(DiskImage::read(image, 440, 72), table);
}

// Under the caller's lock the check leaves the volume locked, and
// dismounted, for the format that follows: nobody gets in between.
TEST_F(CapacityCheck, UnderAHeldLockTheVolumeStaysLockedForTheFormat) {
  make_stick(64 << 20);
  emulation::Machine &machine = emulation::Machine::current();
  VolumeLock volume('E');
  ASSERT_EQ(volume.Take(), 0u);
  std::uint64_t kept = 1;
  EXPECT_EQ(CheckDiskCapacity("\\\\.\\PhysicalDrive0", volume, kept), 0u);
  EXPECT_TRUE(volume.Locked());
  EXPECT_TRUE(machine.disk_by_letter('E')->volume_locked);
  EXPECT_EQ(machine.hold_volume('E', "Explorer"), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(volume.Release(), 0u);
  EXPECT_EQ(files().read("NOTES.TXT"), "my notes\r\n") << "mounted afresh";
  EXPECT_EQ(machine.hold_volume('E', "Explorer"), 0u);
}

// Every copy of `marker` in the image gets one byte changed.
void damage(const fs::path &image, const std::string &marker) {
  std::string bytes = test::slurp(image);
  for (std::size_t at = bytes.find(marker); at != std::string::npos;
       at = bytes.find(marker, at + 1))
    DiskImage::write(image, at + 7, "#");
}

TEST_F(CapacityCheck, ARestoreReadBackWrongKeepsTheBackup) {
  make_stick(64 << 20);
  std::string big;
  for (int i = 0; big.size() < (256 << 10); ++i)
    big += "block " + std::to_string(i) + " of a file the stick mangles\n";
  files().put("BIG.BIN", big);
  TreeState before = files().state();
  // The restore's data goes astray after it was written.
  test::FaultFileSystem watched;
  platform::FileSystemOverride through(watched);
  watched.on_call = [&](const std::string &operation, const std::string &path) {
    if (operation == "copy_tree" && path.find("Corvantix") != std::string::npos)
      emulation::Machine::current().act_on_call(
          "FlushFileBuffers", [&] { damage(image, big.substr(0, 64)); });
  };
  run({"-s", "E"});
  expect_restore_failed(before);
}

// The user's own autoexec.bat replaces the default AUTOEXEC.BAT and keeps
// that entry's name, as Windows' copy does: the read-back takes it as the
// user's file.
TEST_F(CapacityCheck, AFileReplacedUnderANameOfOtherCaseReadsBack) {
  make_stick(64 << 20);
  files().put("autoexec.bat", "echo mine\r\n");
  run({"-s", "E"});
  EXPECT_EQ(results(), std::vector<std::string>{"Format Successful!"});
  EXPECT_EQ(files().read("AUTOEXEC.BAT"), "echo mine\r\n");
  EXPECT_TRUE(backups().empty());
}

} // namespace
} // namespace corvantix
