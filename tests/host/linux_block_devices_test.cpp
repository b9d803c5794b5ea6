// The block-device calls of the raw layer on loop devices, which stand in
// for sticks: geometry, the partition table read again, mounted partitions.
// Loop devices need root; without them the tests say why they skip.
#include "emulated_machine.h"
#include "loop_device.h"
#include "platform/host/machine/host_tools.h"
#include "platform/host/machine/linux_disks.h"
#include "platform/host/machine/linux_mounts.h"
#include "platform/host/win32/win32_types.h"
#include "platform/system.h"
#include "whole_run.h"

#include <gtest/gtest.h>

#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>

namespace corvantix::test {
namespace {

using namespace std::chrono_literals;
using emulation::run_tool;

constexpr std::uint64_t kImageBytes = 64 << 20;
constexpr std::uint64_t kPartitionStart = 1 << 20;

// An image of `sector` bytes a sector with one MBR partition at 1 MiB to
// its end, of the given type.
void make_image(const fs::path &file, std::uint32_t sector,
                std::uint8_t type = 0x83) {
  std::ofstream(file, std::ios::binary);
  fs::resize_file(file, kImageBytes);
  unsigned char mbr[512] = {};
  auto put32 = [](unsigned char *p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
      p[i] = std::uint8_t(v >> (8 * i));
  };
  unsigned char *entry = mbr + 446;
  entry[4] = type;
  put32(entry + 8, std::uint32_t(kPartitionStart / sector));
  put32(entry + 12, std::uint32_t((kImageBytes - kPartitionStart) / sector));
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  std::fstream(file, std::ios::binary | std::ios::in | std::ios::out)
      .write(reinterpret_cast<char *>(mbr), sizeof mbr);
}

// A file system mounted for one test.
class Mount {
public:
  Mount(const std::string &device, const fs::path &point,
        const std::string &options = "defaults")
      : point_(point) {
    fs::create_directories(point);
    auto mounted = run_tool({"mount", "-o", options, device, point.string()});
    mounted_ = mounted.ok();
    error_ = mounted.err;
  }
  ~Mount() {
    if (mounted_)
      run_tool({"umount", point_.string()});
  }
  Mount(const Mount &) = delete;
  Mount &operator=(const Mount &) = delete;
  bool ok() const { return mounted_; }
  const std::string &error() const { return error_; }
  void unmount() {
    if (mounted_ && run_tool({"umount", point_.string()}).ok())
      mounted_ = false;
  }

private:
  fs::path point_;
  bool mounted_ = false;
  std::string error_;
};

class Fd {
public:
  explicit Fd(const std::string &path, int flags = O_RDONLY)
      : fd_(open(path.c_str(), flags | O_CLOEXEC)), error_(errno) {}
  ~Fd() {
    if (fd_ >= 0)
      close(fd_);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  int error() const { return error_; }

private:
  int fd_;
  int error_;
};

class LoopDevices : public ::testing::Test {
protected:
  void SetUp() override {
    if (geteuid() != 0)
      GTEST_SKIP() << "loop devices need root; run the tests as root to "
                      "cover real block devices";
    if (access("/dev/loop-control", R_OK | W_OK) != 0)
      GTEST_SKIP() << "no /dev/loop-control: this kernel or container "
                      "offers no loop devices";
    if (!run_tool({"losetup", "--version"}).ok() ||
        !run_tool({"partx", "--version"}).ok())
      GTEST_SKIP() << "losetup or partx (util-linux) is missing";
  }

  // A loop device on a fresh image; the test skips when none can be had.
  std::unique_ptr<LoopDevice> attach(std::uint32_t sector,
                                     std::uint8_t type = 0x83) {
    fs::path image = folder_.path() / ("disk" + std::to_string(sector) + ".img");
    make_image(image, sector, type);
    auto loop = std::make_unique<LoopDevice>(image, sector);
    return loop;
  }

  TempFolder folder_;
};

#define ATTACH_OR_SKIP(loop, ...)                                              \
  auto loop = attach(__VA_ARGS__);                                             \
  if (!loop->ok())                                                             \
  GTEST_SKIP() << "no loop device could be attached: " << loop->error()

TEST_F(LoopDevices, GeometryComesFromTheDevice) {
  for (std::uint32_t sector : {512u, 4096u}) {
    SCOPED_TRACE(sector);
    ATTACH_OR_SKIP(loop, sector);
    Fd device(loop->node());
    ASSERT_GE(device.get(), 0) << std::strerror(device.error());
    std::uint64_t bytes = 0;
    std::uint32_t sector_bytes = 0;
    EXPECT_EQ(emulation::block_device_size(device.get(), bytes), ERROR_SUCCESS);
    EXPECT_EQ(bytes, kImageBytes);
    EXPECT_EQ(emulation::logical_sector_size(device.get(), sector_bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(sector_bytes, sector);

    // sysfs says the same, and a loop device is never a USB disk.
    auto disk = emulation::describe_block_device(loop->node());
    ASSERT_TRUE(disk);
    EXPECT_EQ(disk->size, kImageBytes);
    EXPECT_EQ(disk->sector_size, sector);
    EXPECT_FALSE(disk->usb);
    for (const auto &usb : emulation::find_usb_disks())
      EXPECT_NE(usb.name, disk->name);
  }
}

TEST_F(LoopDevices, PartitionTableIsReadAgain) {
  ATTACH_OR_SKIP(loop, 512, 0x0C);
  std::string first = loop->partition(1);
  EXPECT_FALSE(fs::exists(first)) << "losetup gave partitions of its own";

  EXPECT_EQ(emulation::reread_partition_table(loop->node(), first, 5s),
            ERROR_SUCCESS);
  EXPECT_TRUE(fs::exists(first));
  auto disk = emulation::describe_block_device(loop->node());
  ASSERT_TRUE(disk && disk->first_partition());
  EXPECT_EQ(disk->first_partition()->offset, kPartitionStart);
  EXPECT_EQ(disk->first_partition()->size, kImageBytes - kPartitionStart);
  EXPECT_EQ(disk->node.string(), loop->node());
  EXPECT_FALSE(disk->first_partition_fat);

  // The FAT file system is found through the partition's device node.
  auto made = run_tool({"mkfs.fat", "-F", "32", first});
  ASSERT_TRUE(made.ok()) << made.err;
  // udev looks at the new file system too, and may have the partition's
  // node away for a moment while it does.
  bool found = false;
  for (int tries = 0; !found && tries < 20; ++tries) {
    if (tries)
      std::this_thread::sleep_for(100ms);
    auto now = emulation::describe_block_device(loop->node());
    found = now && now->first_partition_fat;
  }
  EXPECT_TRUE(found);

  // A partition that the table lacks does not come: the wait ends.
  EXPECT_EQ(emulation::reread_partition_table(loop->node(), loop->partition(2),
                                              200ms),
            ERROR_NOT_READY);
  EXPECT_EQ(emulation::reread_partition_table("/dev/corvantix-missing", first,
                                              200ms),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(LoopDevices, MountedPartitionIsFoundAndKeepsTheDiskBusy) {
  ATTACH_OR_SKIP(loop, 512);
  std::string first = loop->partition(1);
  ASSERT_EQ(emulation::reread_partition_table(loop->node(), first, 5s),
            ERROR_SUCCESS);
  auto made = run_tool({"mkfs.ext4", "-q", "-F", first});
  ASSERT_TRUE(made.ok()) << made.err;
  fs::path point = folder_.path() / "mounted here";
  Mount mount(first, point);
  if (!mount.ok())
    GTEST_SKIP() << "ext4 cannot be mounted here: " << mount.error();

  auto disk = emulation::describe_block_device(loop->node());
  ASSERT_TRUE(disk);
  EXPECT_EQ(emulation::mount_points_on(*disk, emulation::read_mountinfo()),
            std::vector<std::string>{point.string()});
  // What the volume lock will rest on: the kernel refuses the whole disk
  // exclusively while a partition is mounted.
  Fd exclusive(loop->node(), O_RDONLY | O_EXCL);
  EXPECT_LT(exclusive.get(), 0);
  EXPECT_EQ(emulation::win32_error_of(exclusive.error()), ERROR_ACCESS_DENIED);

  mount.unmount();
  EXPECT_TRUE(
      emulation::mount_points_on(*disk, emulation::read_mountinfo()).empty());
  EXPECT_GE(Fd(loop->node(), O_RDONLY | O_EXCL).get(), 0);
}

// A whole run on a loop device whose ext4 partition is mounted: a RAW
// stick to the program, with its letter. The run unmounts an idle mount
// before anything is read, and mounts it again as it was when it fails
// before the change; a busy one stops it, named, with nothing copied.
class MountedStickRun : public WholeRun {
protected:
  void SetUp() override {
    WholeRun::SetUp();
    if (geteuid() != 0 || access("/dev/loop-control", R_OK | W_OK) != 0)
      GTEST_SKIP() << "loop devices need root and /dev/loop-control";
  }
};

TEST_F(MountedStickRun, IdleMountIsTakenOffBusyOneStopsTheRun) {
  struct Case {
    const char *what;
    bool busy;
    std::vector<std::string> args;
  };
  const std::vector<Case> cases = {
      {"idle, backup", false, {"-s", "E"}},
      {"idle, no backup", false, {"-s", "E", "-f"}},
      {"busy", true, {"-s", "E"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    make_image(image, 512);
    LoopDevice loop(image);
    if (!loop.ok())
      GTEST_SKIP() << "no loop device could be attached: " << loop.error();
    std::string first = loop.partition(1);
    ASSERT_EQ(emulation::reread_partition_table(loop.node(), first, 5s),
              ERROR_SUCCESS);
    auto made = run_tool({"mkfs.ext4", "-q", "-F", first});
    ASSERT_TRUE(made.ok()) << made.err;
    fs::path point = folder_.path() / "mounted here";
    Mount mount(first, point, "nodev,noatime,errors=remount-ro");
    if (!mount.ok())
      GTEST_SKIP() << "ext4 cannot be mounted here: " << mount.error();
    emulation::LinuxMount before =
        emulation::mount_at(emulation::read_mountinfo(), point.string());
    std::optional<std::ofstream> held;
    if (c.busy)
      held.emplace(point / "open.txt");

    emulation::DiskConfig config;
    config.image = loop.node();
    config.block_device = true;
    config.letter = 'E';
    config.model = "Loop Stick";
    emulation::Machine &machine = install({config});
    std::size_t earlier = results().size();
    run(c.args);
    std::vector<std::string> shown = results();
    shown.erase(shown.begin(), shown.begin() + std::ptrdiff_t(earlier));
    auto disk = emulation::describe_block_device(loop.node());
    ASSERT_TRUE(disk);
    auto points = emulation::mount_points_on(*disk, emulation::read_mountinfo());

    EXPECT_TRUE(backups().empty()) << "nothing is copied";
    if (c.busy) {
      EXPECT_EQ(shown, std::vector<std::string>{emulation::mounted_disk_message(
                             loop.node(), {point.string()})});
      EXPECT_EQ(points, std::vector<std::string>{point.string()});
      EXPECT_TRUE(machine.writes().empty());
    } else if (c.args.size() == 2) {
      ASSERT_EQ(shown.size(), 1u);
      // The volume holds no file system that can be read: the cause says so.
      EXPECT_EQ(shown[0].rfind(Res::get("STEP_BACKUP_CREATE_ERR") + " " +
                                   corvantix::platform::system_message(
                                       ERROR_UNRECOGNIZED_VOLUME),
                               0),
                0u)
          << shown[0];
      EXPECT_EQ(points, std::vector<std::string>{point.string()});
      EXPECT_EQ(emulation::mount_at(emulation::read_mountinfo(), point.string()),
                before);
      EXPECT_TRUE(machine.writes().empty());
    } else {
      // The formatter locks the unmounted RAW volume and prepares it.
      EXPECT_EQ(shown, std::vector<std::string>{"Format Successful!"});
      EXPECT_FALSE(machine.writes().empty());
      EXPECT_TRUE(points.empty());
    }
    EXPECT_EQ(drive_txt(), c.args.size() == 3 ? "E" : "");
    fs::remove("drive.txt");
    emulation::Machine::install(nullptr);
  }
}

TEST(BlockDeviceCalls, RefuseWhatIsNoBlockDevice) {
  TempFolder folder;
  fs::path file = folder.path() / "plain";
  std::ofstream(file) << "not a disk";
  Fd plain(file.string());
  ASSERT_GE(plain.get(), 0);
  std::uint64_t bytes = 7;
  std::uint32_t sector = 7;
  EXPECT_EQ(emulation::block_device_size(plain.get(), bytes),
            ERROR_INVALID_FUNCTION);
  EXPECT_EQ(emulation::logical_sector_size(plain.get(), sector),
            ERROR_INVALID_FUNCTION);
  EXPECT_EQ(bytes, 7u);
  EXPECT_EQ(emulation::block_device_size(-1, bytes), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(emulation::describe_block_device(file));
  EXPECT_EQ(emulation::win32_error_of(ENXIO), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(emulation::win32_error_of(EROFS), ERROR_WRITE_PROTECT);
}

} // namespace
} // namespace corvantix::test
