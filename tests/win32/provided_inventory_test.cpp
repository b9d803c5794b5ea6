// The disk list through the product's WMI code, over COM, against the test
// WMI provider that wmi_inventory.sh installs in a prefix of its own and
// names here. Each case writes the machine's disks into the provider's
// description file; the provider reads it at every connection.
#include "device/inventory.h"
#include "device/usb_disk.h"
#include "strings/error.h"
#include "strings/res.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace corvantix {
namespace {

struct Listed {
  char letter;
  std::string model;
  std::uint64_t size;
  std::string device_id;
  std::string pnp_id;
};

struct Machine {
  const char *name;
  const char *disks; ///< the description file's lines
  std::vector<Listed> listed;
};

const Machine kMachines[] = {
    {"a USB stick on E: beside an IDE system disk",
     "disk 0 size=64G model=\"WDC WD640AAKS\" interface=IDE partitions=C\n"
     "disk 1 size=4000000000 model=\"SanDisk Cruzer USB Device\" partitions=E "
     "pnp=USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER&REV_1.00\\4C530001&0\n",
     {{'E', "SanDisk Cruzer USB Device", 4000000000, "\\\\.\\PHYSICALDRIVE1",
       "USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER&REV_1.00\\4C530001&0"}}},
    {"two sticks, in WMI's order and not by number",
     "disk 3 size=1G model=\"Three\" partitions=G\n"
     "disk 2 size=2G model=\"Two\" partitions=F\n",
     {{'G', "Three", 1ull << 30, "\\\\.\\PHYSICALDRIVE3", ""},
      {'F', "Two", 2ull << 30, "\\\\.\\PHYSICALDRIVE2", ""}}},
    {"a lettered disk on SCSI",
     "disk 1 size=1G interface=SCSI partitions=E\n",
     {}},
    {"a stick whose first partition has no letter",
     "disk 1 size=1G partitions=-,F\n",
     {}},
    {"a stick with two lettered partitions",
     "disk 1 size=1G model=\"Two Parts\" partitions=E,F\n",
     {{'E', "Two Parts", 1ull << 30, "\\\\.\\PHYSICALDRIVE1", ""}}},
    {"a stick whose PnP identifier is null",
     "disk 1 size=1G partitions=E null=PNPDeviceID\n",
     {}},
    {"a stick whose size is null",
     "disk 1 size=1G partitions=E null=Size\n",
     {}},
    {"a stick whose model is null",
     "disk 1 size=1G partitions=E null=Model\n",
     {}},
};

class Win32ProvidedInventory : public testing::Test {
protected:
  void SetUp() override {
    const char *disks = std::getenv("CORVANTIX_WMI_DISKS");
    if (!disks)
      GTEST_SKIP() << "needs the test WMI provider of wmi_inventory.sh";
    disks_ = disks;
    std::ifstream in(disks_, std::ios::binary);
    std::ostringstream was;
    was << in.rdbuf();
    installed_ = was.str();
    Res::init_for("en-US");
  }
  // The disks as installed, for the cases that follow.
  void TearDown() override {
    if (!disks_.empty())
      describe(installed_);
  }

  void describe(const std::string &lines) const {
    std::ofstream(disks_, std::ios::binary | std::ios::trunc) << lines;
  }

  std::string disks_, installed_;
};

TEST_F(Win32ProvidedInventory, ListsTheUsbDisksWithALetteredFirstPartition) {
  for (const Machine &machine : kMachines) {
    SCOPED_TRACE(machine.name);
    describe(machine.disks);
    UsbList list;
    list.build();
    ASSERT_EQ(list.disks.size(), machine.listed.size());
    for (std::size_t i = 0; i < list.disks.size(); ++i) {
      const UsbDisk &disk = *list.disks[i];
      const Listed &listed = machine.listed[i];
      EXPECT_EQ(disk.letter, listed.letter);
      EXPECT_EQ(disk.path, std::string(1, listed.letter) + ":\\");
      EXPECT_EQ(disk.model, listed.model);
      EXPECT_EQ(disk.size, listed.size);
      EXPECT_EQ(disk.deviceID, listed.device_id);
      if (!listed.pnp_id.empty()) {
        EXPECT_EQ(disk.pnpID, listed.pnp_id);
      }
      EXPECT_EQ(disk.pnpID.rfind("USBSTOR\\DISK&VEN_", 0), 0u) << disk.pnpID;
    }
  }
}

TEST_F(Win32ProvidedInventory, WaitsForASlowInventory) {
  describe(std::string("wait 300\n") + kMachines[0].disks);
  UsbList list;
  ULONGLONG start = GetTickCount64();
  list.build();
  // Drives, then the stick's partitions, then the partition's volume;
  // the tick count may fall a little short of Sleep's time.
  EXPECT_GE(GetTickCount64() - start, 3 * 300u - 20);
  ASSERT_EQ(list.disks.size(), 1u);
  EXPECT_EQ(list.disks[0]->letter, 'E');
}

// Failures of WMI itself reach the caller with WMI's code.
TEST_F(Win32ProvidedInventory, ErrorsOfTheInventoryCarryItsCode) {
  struct Failure {
    const char *disks;
    const char *class_name;
    const char *code;
  } failures[] = {
      {"disk 1 size=1G partitions=E\n", "Win32_NoSuchClass", "0x80041010"},
      {"disk one size=1G\n", "Win32_DiskDrive", "0x80041014"},
  };
  for (const Failure &failure : failures) {
    SCOPED_TRACE(failure.disks);
    describe(failure.disks);
    try {
      open_inventory()->instances(failure.class_name);
      ADD_FAILURE() << "no error";
    } catch (const Error &e) {
      EXPECT_NE(std::string(e.what()).find(failure.code), std::string::npos)
          << e.what();
    }
  }
}

} // namespace
} // namespace corvantix
