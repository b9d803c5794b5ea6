// The emulated machine's disk inventory, as WMI would report its disks.
#include "device/inventory.h"
#include "device/pnp_device.h"
#include "device/usb_disk.h"
#include "strings/error.h"

#include "emulated_machine.h"

#include <fstream>

namespace corvantix {
namespace {

using emulation::NodeBehaviour;

// Writes a partition table with entries (type, first sector, sectors).
void write_partition_table(
    const std::filesystem::path &image,
    std::vector<std::tuple<std::uint8_t, std::uint32_t, std::uint32_t>> entries) {
  unsigned char mbr[512] = {};
  for (std::size_t i = 0; i < entries.size(); ++i) {
    unsigned char *e = mbr + 446 + 16 * i;
    auto [type, first, count] = entries[i];
    e[4] = type;
    for (int b = 0; b < 4; ++b) {
      e[8 + b] = std::uint8_t(first >> (8 * b));
      e[12 + b] = std::uint8_t(count >> (8 * b));
    }
  }
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
  out.write(reinterpret_cast<char *>(mbr), sizeof mbr);
}

class HostInventoryTest : public test::EmulatedMachineTest {
protected:
  std::string letters() {
    UsbList list;
    list.build();
    std::string seen;
    for (const UsbDiskPtr &disk : list.disks)
      seen += disk->letter;
    return seen;
  }
};

TEST_F(HostInventoryTest, ReportsDrivesPartitionsAndVolumesInWmisForms) {
  auto system = stick("system", 'C');
  system.interface_type = "IDE";
  auto &machine = install({system, stick("shop", 'E', NodeBehaviour::Normal,
                                         64ull << 20, true)});
  auto inventory = open_inventory();
  auto drives = inventory->instances("Win32_DiskDrive");
  ASSERT_EQ(drives.size(), 2u);
  const InventoryObject &usb = *drives[1];
  EXPECT_EQ(text_of(usb, "DeviceID"), "\\\\.\\PHYSICALDRIVE1");
  EXPECT_EQ(text_of(usb, "InterfaceType"), "USB");
  EXPECT_EQ(text_of(usb, "Model"), "Corvantix shop");
  EXPECT_EQ(text_of(usb, "PNPDeviceID"), machine.disks()[1].pnp_id);
  EXPECT_EQ(text_of(usb, "PNPDeviceID")->rfind("USBSTOR\\DISK&VEN_", 0), 0u);
  EXPECT_EQ(number_of(usb, "Size"), 64ull << 20);
  std::string path = *text_of(usb, "__PATH");
  EXPECT_EQ(path.substr(path.find(':')),
            ":Win32_DiskDrive.DeviceID=\"\\\\\\\\.\\\\PHYSICALDRIVE1\"");
  EXPECT_FALSE(usb.property("NoSuchProperty"));

  auto partitions = inventory->associators(usb, "Win32_DiskPartition");
  ASSERT_EQ(partitions.size(), 1u);
  EXPECT_EQ(text_of(*partitions[0], "DeviceID"), "Disk #1, Partition #0");
  EXPECT_EQ(number_of(*partitions[0], "StartingOffset"), 1u << 20);
  auto volumes = inventory->associators(*partitions[0], "Win32_LogicalDisk");
  ASSERT_EQ(volumes.size(), 1u);
  std::string volume = *text_of(*volumes[0], "__PATH");
  EXPECT_EQ(volume.substr(volume.find(':')),
            ":Win32_LogicalDisk.DeviceID=\"E:\"");
  EXPECT_EQ(text_of(*volumes[0], "FileSystem"), "FAT32");

  // The system disk is in the inventory, and never in the list.
  EXPECT_EQ(text_of(*drives[0], "InterfaceType"), "IDE");
  EXPECT_EQ(letters(), "E");
}

TEST_F(HostInventoryTest, OnlyAFirstPartitionWithALetterMakesAListedDisk) {
  auto &machine = install({stick("blank", 'E'), stick("unlettered", 0),
                           stick("signed-empty", 'G'), stick("two", 'H')});
  write_partition_table(machine.disks()[1].config.image, {{0x0C, 32, 2000}});
  write_partition_table(machine.disks()[2].config.image, {});
  write_partition_table(machine.disks()[3].config.image,
                        {{0x0C, 32, 1000}, {0x0C, 1032, 1000}});
  EXPECT_EQ(letters(), "H");

  auto inventory = open_inventory();
  auto drives = inventory->instances("Win32_DiskDrive");
  ASSERT_EQ(drives.size(), 4u);
  EXPECT_TRUE(inventory->associators(*drives[0], "Win32_DiskPartition").empty());
  EXPECT_TRUE(inventory->associators(*drives[2], "Win32_DiskPartition").empty());
  auto two = inventory->associators(*drives[3], "Win32_DiskPartition");
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(inventory->associators(*two[0], "Win32_LogicalDisk").size(), 1u);
  EXPECT_TRUE(inventory->associators(*two[1], "Win32_LogicalDisk").empty());
  EXPECT_EQ(inventory->instances("Win32_LogicalDisk").size(), 1u);
}

TEST_F(HostInventoryTest, DisabledOrVanishedDevicesLeaveTheInventory) {
  auto &machine = install({stick("a", 'E', NodeBehaviour::Normal, 64ull << 20,
                                 true),
                           stick("b", 'F', NodeBehaviour::Phantom, 64ull << 20,
                                 true)});
  EXPECT_EQ(letters(), "E");
  CPNPDevice device(machine.disks()[0].pnp_id.c_str());
  ASSERT_EQ(device.Disable(), Disabled);
  EXPECT_EQ(letters(), "");
  ASSERT_EQ(device.Enable(), Started);
  EXPECT_EQ(letters(), "E");
}

TEST_F(HostInventoryTest, UnknownClassIsAnInventoryError) {
  install({stick("a")});
  EXPECT_THROW(open_inventory()->instances("Win32_NoSuchThing"), Error);
}

} // namespace
} // namespace corvantix
