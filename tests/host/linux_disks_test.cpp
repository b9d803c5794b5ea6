// The real disks of a Linux machine, found in sysfs trees that the tests
// build as the kernel lays them out for a USB stick, a card reader, SATA,
// NVMe, virtio and MMC disks.
#include "emulated_machine.h"
#include "platform/host/machine/fat_probe.h"
#include "platform/host/machine/host_tools.h"
#include "platform/host/machine/linux_disks.h"
#include "platform/host/machine/machine_choice.h"
#include "strings/error.h"
#include "strings/res.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <map>

namespace corvantix::test {
namespace {

using emulation::DeviceNumber;
using emulation::LinuxDisk;
using emulation::LinuxRoots;

constexpr std::uint64_t kFatPartitionSectors = 32768; // 16 MiB

void write(const fs::path &file, const std::string &text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text << '\n';
}

// A FAT16 file system in `file`, as mkfs.fat makes it.
void make_fat(const fs::path &file) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary);
  fs::resize_file(file, kFatPartitionSectors * 512);
  auto made = emulation::run_tool({"mkfs.fat", "-F", "16", file.string()});
  ASSERT_TRUE(made.ok()) << made.err;
}

struct UsbIds {
  std::string vendor_id = "0781", product_id = "5567", serial;
};

// A sysfs tree and a /dev folder in a temporary folder. Partition nodes
// are files: a FAT one holds a file system, others hold zeros.
class FakeMachine {
public:
  LinuxRoots roots() const { return {folder_.path() / "sys", dev()}; }
  fs::path sys() const { return folder_.path() / "sys"; }
  fs::path dev() const { return folder_.path() / "dev"; }

  /// A whole disk `name` below the hardware folder `hardware` (relative to
  /// sys/devices); `size` in 512-byte sectors.
  fs::path disk(const std::string &name, const std::string &hardware,
                unsigned minor, std::uint64_t size,
                const std::string &vendor = "SanDisk ",
                const std::string &model = "Cruzer Blade    ") {
    fs::path device = sys() / "devices" / hardware;
    fs::path block = device / "block" / name;
    write(block / "dev", "8:" + std::to_string(minor));
    write(block / "size", std::to_string(size));
    write(block / "ro", "0");
    write(block / "removable", "1");
    write(block / "queue/logical_block_size", "512");
    write(device / "vendor", vendor);
    write(device / "model", model);
    write(device / "rev", "1.00");
    fs::create_directory_symlink(device, block / "device");
    fs::create_directories(sys() / "block");
    fs::create_directory_symlink(fs::relative(block, sys() / "block"),
                                 sys() / "block" / name);
    return block;
  }

  /// A disk on a USB mass-storage device at `port` of USB bus `bus`.
  fs::path usb_disk(const std::string &name, const std::string &port,
                    unsigned minor, std::uint64_t size, const UsbIds &ids = {},
                    const std::string &lun = "0") {
    std::string usb = "pci0000:00/0000:00:14.0/usb2/" + port;
    write(sys() / "devices" / usb / "idVendor", ids.vendor_id);
    write(sys() / "devices" / usb / "idProduct", ids.product_id);
    if (!ids.serial.empty())
      write(sys() / "devices" / usb / "serial", ids.serial);
    std::string host = std::to_string(6 + minor / 16);
    return disk(name,
                usb + "/" + port + ":1.0/host" + host + "/target" + host +
                    ":0:0/" + host + ":0:0:" + lun,
                minor, size);
  }

  /// Partition `number` of `disk`, named as the kernel names it.
  void partition(const fs::path &disk, int number, bool fat,
                 std::uint64_t start = 2048) {
    std::string name =
        emulation::partition_name(disk.filename().string(), number);
    fs::path folder = disk / name;
    write(folder / "partition", std::to_string(number));
    write(folder / "dev", "8:" + std::to_string(200 + number));
    write(folder / "start", std::to_string(start));
    write(folder / "size", std::to_string(kFatPartitionSectors));
    if (fat) {
      make_fat(dev() / name);
    } else {
      fs::create_directories(dev());
      std::ofstream(dev() / name, std::ios::binary);
      fs::resize_file(dev() / name, kFatPartitionSectors * 512);
    }
  }

private:
  TempFolder folder_;
};

const LinuxDisk *named(const std::vector<LinuxDisk> &disks,
                       const std::string &name) {
  for (const LinuxDisk &disk : disks)
    if (disk.name == name)
      return &disk;
  return nullptr;
}

class LinuxDisks : public ::testing::Test {
protected:
  FakeMachine machine_;
};

TEST_F(LinuxDisks, UsbStickIsDescribedAsWindowsShowsIt) {
  UsbIds ids{"0781", "5567", "4C530001231115115143"};
  fs::path sdb = machine_.usb_disk("sdb", "2-1", 16, 31266816, ids);
  machine_.partition(sdb, 1, true);

  auto disks = emulation::find_usb_disks(machine_.roots());
  ASSERT_EQ(disks.size(), 1u);
  const LinuxDisk &stick = disks[0];
  EXPECT_EQ(stick.node, machine_.dev() / "sdb");
  EXPECT_EQ(stick.size, 31266816ull * 512);
  EXPECT_EQ(stick.sector_size, 512u);
  EXPECT_EQ(stick.model, "SanDisk Cruzer Blade");
  EXPECT_EQ(stick.pnp_id, "USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER_BLADE&REV_1.00"
                          "\\4C530001231115115143&0");
  EXPECT_EQ(stick.letter, 'E');
  ASSERT_NE(stick.first_partition(), nullptr);
  EXPECT_EQ(stick.first_partition()->name, "sdb1");
  EXPECT_EQ(stick.first_partition()->offset, 2048u * 512);
  EXPECT_EQ(stick.first_partition()->size, kFatPartitionSectors * 512);
  EXPECT_EQ(stick.first_partition()->device, (DeviceNumber{8, 201}));

  // The same stick, found again, keeps its identifier.
  EXPECT_EQ(emulation::find_usb_disks(machine_.roots())[0].pnp_id, stick.pnp_id);
}

TEST_F(LinuxDisks, OnlyWritableUsbDisksWithAMediumAreListed) {
  machine_.partition(machine_.usb_disk("sdb", "2-1", 16, 1 << 20), 1, true);
  machine_.usb_disk("sdc", "2-2", 32, 0); // card reader, no card
  fs::path ro = machine_.usb_disk("sdh", "2-3", 112, 1 << 20);
  write(ro / "ro", "1");
  machine_.partition(ro, 1, true);
  fs::path sata = machine_.disk(
      "sda", "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", 0,
      1 << 20, "ATA     ", "Samsung SSD 860");
  machine_.partition(sata, 1, true);
  fs::path removable = machine_.disk(
      "sdd", "pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0", 48,
      1 << 20, "IOMEGA  ", "ZIP 250");
  machine_.partition(removable, 1, true);
  machine_.partition(
      machine_.disk("nvme0n1", "pci0000:00/0000:00:1d.0/0000:02:00.0/nvme/nvme0",
                    64, 1 << 20, "", "WDC PC SN730"),
      1, true);
  machine_.partition(
      machine_.disk("vda", "pci0000:00/0000:00:02.0/virtio1", 80, 1 << 20, "",
                    ""),
      1, true);
  machine_.partition(
      machine_.disk("mmcblk0",
                    "platform/soc/fe340000.mmc/mmc_host/mmc0/mmc0:aaaa", 96,
                    1 << 20, "", "SC64G"),
      1, true);
  // /sys/class/block also lists partitions; they are not disks.
  fs::create_directory_symlink(machine_.sys() / "block/sdb/sdb1",
                               machine_.sys() / "block/sdb1");

  auto disks = emulation::find_usb_disks(machine_.roots());
  ASSERT_EQ(disks.size(), 1u);
  EXPECT_EQ(disks[0].name, "sdb");
  EXPECT_EQ(disks[0].letter, 'E');

  // Described on their own, the others say why they are left out.
  auto sys = machine_.sys() / "block";
  EXPECT_FALSE(emulation::describe_disk(sys / "sda", machine_.roots())->usb);
  EXPECT_FALSE(emulation::describe_disk(sys / "mmcblk0", machine_.roots())->usb);
  EXPECT_TRUE(emulation::describe_disk(sys / "sdh", machine_.roots())->read_only);
  EXPECT_EQ(emulation::describe_disk(sys / "sdc", machine_.roots())->size, 0u);
  EXPECT_FALSE(emulation::describe_disk(sys / "sdb1", machine_.roots()));
  EXPECT_EQ(emulation::disk_config_of(
                *emulation::describe_disk(sys / "sda", machine_.roots()))
                .interface_type,
            "SCSI");
  EXPECT_EQ(emulation::describe_disk(sys / "mmcblk0", machine_.roots())
                ->first_partition()
                ->name,
            "mmcblk0p1");
}

// Windows gives a RAW stick (no table, no FAT it reads) a letter too.
TEST_F(LinuxDisks, LettersGoInOrderToEveryStick) {
  machine_.partition(machine_.usb_disk("sdb", "2-1", 16, 1 << 20), 1, true);
  machine_.usb_disk("sdc", "2-2", 32, 1 << 20); // no partition table
  fs::path both_fat = machine_.usb_disk("sdd", "2-3", 48, 1 << 20);
  machine_.partition(both_fat, 1, true);
  machine_.partition(both_fat, 2, true, 40960);
  fs::path fat_second = machine_.usb_disk("sde", "2-4", 64, 1 << 20);
  machine_.partition(fat_second, 2, true, 40960);
  machine_.partition(fat_second, 1, false);
  machine_.partition(machine_.usb_disk("sdaa", "2-5", 80, 1 << 20), 1, true);
  machine_.partition(machine_.usb_disk("sdz", "2-6", 96, 1 << 20), 1, true);

  auto disks = emulation::find_usb_disks(machine_.roots());
  ASSERT_EQ(disks.size(), 6u);
  std::string order, letters;
  for (const LinuxDisk &disk : disks) {
    order += disk.name + " ";
    letters += disk.letter ? disk.letter : '-';
  }
  EXPECT_EQ(order, "sdb sdc sdd sde sdz sdaa ");
  EXPECT_EQ(letters, "EFGHIJ");
  EXPECT_EQ(named(disks, "sdc")->first_partition(), nullptr);
  ASSERT_EQ(named(disks, "sdd")->partitions.size(), 2u);
  EXPECT_EQ(named(disks, "sdd")->partitions[1].offset, 40960u * 512);
  EXPECT_FALSE(named(disks, "sde")->first_partition_fat);
}

TEST_F(LinuxDisks, LettersStopAtZ) {
  std::vector<LinuxDisk> disks(24);
  disks[1].first_partition_fat = true;
  emulation::assign_drive_letters(disks);
  EXPECT_EQ(disks[0].letter, 'E');
  EXPECT_EQ(disks[1].letter, 'F');
  EXPECT_EQ(disks[21].letter, 'Z');
  EXPECT_EQ(disks[22].letter, 0);
  EXPECT_EQ(disks[23].letter, 0);

  // Letters that other disks of the machine have are left out.
  emulation::assign_drive_letters(disks, "FGC");
  EXPECT_EQ(disks[0].letter, 'E');
  EXPECT_EQ(disks[1].letter, 'H');
}

TEST_F(LinuxDisks, IdentifiersTellSticksAndSlotsApart) {
  UsbIds no_serial{"090c", "1000", ""};
  machine_.usb_disk("sdb", "2-1.4", 16, 1 << 20, no_serial);
  UsbIds reader{"05e3", "0751", "000000000819"};
  machine_.usb_disk("sdc", "2-2", 32, 1 << 20, reader, "0");
  machine_.usb_disk("sdd", "2-2", 48, 1 << 20, reader, "1");
  UsbIds odd_serial{"abcd", "0001", "a1 b2&c3,d4\\e5"};
  machine_.usb_disk("sde", "2-3", 64, 1 << 20, odd_serial);

  auto disks = emulation::find_usb_disks(machine_.roots());
  ASSERT_EQ(disks.size(), 4u);
  EXPECT_EQ(disks[0].pnp_id, "USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER_BLADE&REV_"
                             "1.00\\VID_090C&PID_1000&2-1.4&0");
  EXPECT_TRUE(disks[1].pnp_id.ends_with("\\000000000819&0"));
  EXPECT_TRUE(disks[2].pnp_id.ends_with("\\000000000819&1"));
  EXPECT_TRUE(disks[3].pnp_id.ends_with("\\A1_B2_C3_D4_E5&0")) << disks[3].pnp_id;
}

TEST_F(LinuxDisks, UsbMachineIsMadeOfTheDevices) {
  fs::path sdb = machine_.usb_disk("sdb", "2-1", 16, 1 << 20);
  write(sdb / "queue/logical_block_size", "4096");
  machine_.partition(sdb, 1, true);
  machine_.usb_disk("sdc", "2-2", 32, 1 << 21);

  auto configs = emulation::usb_machine(machine_.roots());
  ASSERT_EQ(configs.size(), 2u);
  EXPECT_EQ(configs[0].image, machine_.dev() / "sdb");
  EXPECT_EQ(configs[0].letter, 'E');
  EXPECT_EQ(configs[0].sector_size, 4096u);
  EXPECT_EQ(configs[0].model, "SanDisk Cruzer Blade");
  EXPECT_EQ(configs[0].interface_type, "USB");
  EXPECT_EQ(configs[0].new_size, 0u) << "a device must never be made";
  EXPECT_EQ(configs[1].letter, 'F') << "a RAW stick has a letter";
  EXPECT_EQ(emulation::usb_machine(machine_.roots(), "E")[0].letter, 'F');

  EXPECT_TRUE(emulation::is_usb_line({"usb"}));
  EXPECT_TRUE(emulation::is_usb_line({"usb", "letter=E"}));
  EXPECT_FALSE(emulation::is_usb_line({"disk", "usb"}));
  EXPECT_FALSE(emulation::is_usb_line({}));
  EXPECT_TRUE(emulation::is_usb_machine_name("usb"));
  EXPECT_FALSE(emulation::is_usb_machine_name("usb.txt"));
  EXPECT_FALSE(emulation::is_usb_machine_name("USB "));
}

// Unless told otherwise the program works on the computer's USB sticks,
// and leaves the folder it was started in alone.
TEST_F(LinuxDisks, TheMachineIsTheUsbDisksUnlessTheDemoIsAskedFor) {
  machine_.usb_disk("sdb", "2-1", 16, 1 << 20);
  machine_.disk("sda", "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0",
                0, 1 << 22);
  TempFolder started_in;
  fs::path description = started_in.path() / "machine.txt";
  write(description, "disk other.img letter=G");
  const struct {
    const char *value;
    std::vector<fs::path> images; // relative to the folder started in
    char letter;
  } cases[] = {
      {nullptr, {}, 'E'},
      {"", {}, 'E'},
      {"usb", {}, 'E'},
      {"demo", {"corvantix-system.img", "corvantix-stick.img"}, 'E'},
      {"Demo", {}, 0}, // a description file's name, which is missing
      {description.c_str(), {"other.img"}, 'G'},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    std::vector<emulation::DiskConfig> disks;
    try {
      disks = emulation::chosen_machine(c.value, machine_.roots(),
                                        started_in.path());
    } catch (const Error &) {
      EXPECT_EQ(c.letter, 0) << "refused";
      continue;
    }
    bool usb = c.images.empty();
    ASSERT_EQ(disks.size(), usb ? 1u : c.images.size());
    EXPECT_EQ(disks.back().letter, c.letter);
    for (std::size_t i = 0; !usb && i < disks.size(); ++i)
      EXPECT_EQ(disks[i].image, started_in.path() / c.images[i]);
    if (usb) {
      EXPECT_EQ(disks[0].image, machine_.dev() / "sdb");
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(started_in.path()),
                            fs::directory_iterator()),
              1)
        << "only the description file is in the folder";
  }
}

TEST(LinuxDiskNames, PartitionsAndDeviceNumbers) {
  EXPECT_EQ(emulation::partition_name("sdb", 1), "sdb1");
  EXPECT_EQ(emulation::partition_name("mmcblk0", 1), "mmcblk0p1");
  EXPECT_EQ(emulation::partition_name("nvme0n1", 2), "nvme0n1p2");
  EXPECT_EQ(emulation::partition_name("loop7", 1), "loop7p1");

  EXPECT_EQ(emulation::parse_device_number("259:12"), (DeviceNumber{259, 12}));
  for (const char *bad : {"", ":", "8:", ":1", "8", "8:1x", "x8:1", "8:-1"})
    EXPECT_FALSE(emulation::parse_device_number(bad)) << bad;
}

TEST(LinuxMounts, PartitionsAndStackedDevicesAreFound) {
  const std::string mountinfo =
      "22 27 0:21 / /proc rw,relatime - proc proc rw\n"
      "27 1 254:1 / / rw,relatime - ext4 /dev/vda1 rw\n"
      "91 27 8:17 / /media/ann/MY\\040STICK rw - vfat /dev/sdb1 rw\n"
      "92 27 8:18 /photos /srv/photos rw - ext4 /dev/sdb2 rw\n"
      "93 27 253:0 / /mnt/secret rw - ext4 /dev/mapper/luks rw\n"
      "94 27 8:33 / /mnt/other rw - ext4 /dev/sdc1 rw\n"
      "95 27 0:45 / /mnt/btrfs rw shared:1 - btrfs /dev/sdb3 rw\n"
      "broken line\n";
  LinuxDisk disk;
  disk.device = {8, 16};
  disk.name = "sdb";
  disk.partitions = {{"sdb1", 1, {8, 17}, 0, 0}, {"sdb2", 2, {8, 18}, 0, 0},
                     {"sdb3", 3, {8, 19}, 0, 0}};
  EXPECT_EQ(emulation::mount_points_on(disk, mountinfo),
            (std::vector<std::string>{"/media/ann/MY STICK", "/srv/photos",
                                      "/mnt/btrfs"}));
  disk.holders = {{253, 0}};
  EXPECT_EQ(emulation::mount_points_on(disk, mountinfo),
            (std::vector<std::string>{"/media/ann/MY STICK", "/srv/photos",
                                      "/mnt/secret", "/mnt/btrfs"}));

  disk.partitions.clear();
  disk.holders.clear();
  EXPECT_TRUE(emulation::mount_points_on(disk, mountinfo).empty());
  EXPECT_EQ(emulation::mount_points_of("1 2 8:16 / /a\\134b\\011c\\ rw", {{8, 16}}),
            (std::vector<std::string>{"/a\\b\tc\\"}));
}

// Before a run the stick's mounts come off, the last mounted first; what
// keeps one (busy, not root) or a swap area stops the run and is named.
TEST(LinuxMounts, ReleaseUnmountsIdlePointsAndNamesWhatStays) {
  Res::init_for("en-US");
  const std::string mountinfo =
      "27 1 254:1 / / rw - ext4 /dev/vda1 rw\n"
      "91 27 8:17 / /media/ann/STICK rw - vfat /dev/sdb1 rw\n"
      "92 27 8:18 / /srv/photos rw - ext4 /dev/sdb2 rw\n"
      "94 27 8:33 / /mnt/other rw - ext4 /dev/sdc1 rw\n";
  const std::string header = "Filename\tType\tSize\tUsed\tPriority\n";
  LinuxDisk disk;
  disk.name = "sdb";
  disk.node = "/dev/sdb";
  disk.device = {8, 16};
  disk.partitions = {{"sdb1", 1, {8, 17}, 0, 0}, {"sdb2", 2, {8, 18}, 0, 0}};
  const std::string both = emulation::mounted_disk_message(
      "/dev/sdb", {"/media/ann/STICK", "/srv/photos"});
  const std::string swap = Res::format("MSG_DRIVE_IN_USE", "/dev/sdb2 (swap)");
  struct Case {
    const char *what;
    std::string swaps;
    std::map<std::string, int> errors; ///< umount2's errno by point
    std::string message;
    std::vector<std::string> tried; ///< umount2 asked, in order
  };
  const std::vector<Case> cases = {
      {"idle", header, {}, "", {"/srv/photos", "/media/ann/STICK"}},
      {"other disks' swap", header + "/dev/sdc1 partition 1 0 -2\n"
                                     "/swap\\040file file 1 0 -3\n",
       {}, "", {"/srv/photos", "/media/ann/STICK"}},
      {"gone meanwhile", header, {{"/srv/photos", EINVAL}}, "",
       {"/srv/photos", "/media/ann/STICK"}},
      {"first busy", header, {{"/media/ann/STICK", EBUSY}},
       emulation::mounted_disk_message("/dev/sdb", {"/media/ann/STICK"}),
       {"/srv/photos", "/media/ann/STICK"}},
      {"last busy", header, {{"/srv/photos", EBUSY}}, both, {"/srv/photos"}},
      {"not root", header, {{"/srv/photos", EPERM}}, both, {"/srv/photos"}},
      {"swap", header + "/dev/sdb2 partition 1 0 -2\n", {}, swap, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> tried;
    std::string message = emulation::release_disk(
        disk, mountinfo, c.swaps, [&](const std::string &point) {
          tried.push_back(point);
          auto error = c.errors.find(point);
          return error == c.errors.end() ? 0 : error->second;
        });
    EXPECT_EQ(message, c.message);
    EXPECT_EQ(tried, c.tried);
  }
}

TEST_F(LinuxDisks, StackedDevicesAreHolders) {
  fs::path sdb = machine_.usb_disk("sdb", "2-1", 16, 1 << 20);
  machine_.partition(sdb, 1, false);
  fs::path dm = machine_.sys() / "devices/virtual/block/dm-0";
  write(dm / "dev", "253:0");
  fs::create_directories(sdb / "sdb1/holders");
  fs::create_directory_symlink(dm, sdb / "sdb1/holders/dm-0");

  auto disk = emulation::describe_disk(sdb, machine_.roots());
  ASSERT_TRUE(disk);
  EXPECT_EQ(disk->holders, (std::vector<DeviceNumber>{{253, 0}}));
}

TEST(LinuxMessages, MountedDiskNamesTheMountPoints) {
  for (const char *language : {"en-US", "de-DE"}) {
    Res::init_for(language);
    std::string text = emulation::mounted_disk_message(
        "/dev/sdb", {"/media/ann/STICK", "/srv/photos"});
    EXPECT_NE(text.find("/dev/sdb"), std::string::npos) << text;
    EXPECT_NE(text.find("/media/ann/STICK, /srv/photos"), std::string::npos)
        << text;
    EXPECT_NE(text.find("umount"), std::string::npos) << text;
    EXPECT_EQ(text.back(), '.');
  }
  Res::init_for("en-US");
}

// The probe's rule, on boot sectors that mkfs.fat wrote and then spoiled.
class FatProbe : public ::testing::Test {
protected:
  void SetUp() override {
    make_fat(folder_.path() / "fat16");
    std::ifstream(folder_.path() / "fat16", std::ios::binary)
        .read(reinterpret_cast<char *>(good_), sizeof good_);
  }
  bool mountable(void (*spoil)(unsigned char *),
                 std::uint64_t bytes = kFatPartitionSectors * 512) {
    unsigned char sector[512];
    std::copy(std::begin(good_), std::end(good_), sector);
    spoil(sector);
    return emulation::is_mountable_fat(sector, bytes);
  }

  TempFolder folder_;
  unsigned char good_[512];
};

TEST_F(FatProbe, AcceptsWhatWindowsMountsOnly) {
  EXPECT_TRUE(mountable([](unsigned char *) {}));
  EXPECT_TRUE(emulation::holds_mountable_fat(folder_.path() / "fat16", 0,
                                             kFatPartitionSectors * 512));
  EXPECT_FALSE(emulation::holds_mountable_fat(folder_.path() / "fat16", 512,
                                              kFatPartitionSectors * 512));
  EXPECT_FALSE(emulation::holds_mountable_fat(folder_.path() / "missing", 0,
                                              kFatPartitionSectors * 512));
  // Larger than its partition.
  EXPECT_FALSE(mountable([](unsigned char *) {}, kFatPartitionSectors * 256));
  EXPECT_FALSE(mountable([](unsigned char *s) { s[0] = 0; }));
  EXPECT_FALSE(mountable([](unsigned char *s) { s[511] = 0; }));
  EXPECT_FALSE(mountable([](unsigned char *s) { s[11] = 0, s[12] = 3; }));
  EXPECT_FALSE(mountable([](unsigned char *s) { s[13] = 3; }));
  EXPECT_FALSE(mountable([](unsigned char *s) { s[16] = 0; }));
  // Its file allocation tables would fill the whole partition.
  EXPECT_FALSE(mountable([](unsigned char *s) { s[22] = 0xFF, s[23] = 0x7F; }));
  // A FAT32 parameter block over this few clusters is read as FAT16.
  EXPECT_FALSE(mountable([](unsigned char *s) {
    s[36] = s[22], s[37] = s[23], s[38] = s[39] = 0;
    s[22] = s[23] = 0;
  }));
}

TEST_F(FatProbe, Fat32WithEnoughClustersIsMountable) {
  fs::path file = folder_.path() / "fat32";
  std::ofstream(file, std::ios::binary);
  fs::resize_file(file, 64 << 20);
  auto made = emulation::run_tool({"mkfs.fat", "-F", "32", file.string()});
  ASSERT_TRUE(made.ok()) << made.err;
  EXPECT_TRUE(emulation::holds_mountable_fat(file, 0, 64 << 20));
}

} // namespace
} // namespace corvantix::test
