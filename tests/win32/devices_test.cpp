// Device control and discovery against the Windows services that Wine
// provides: its SetupAPI, kernel32 and WMI.
#include "device/inventory.h"
#include "device/pnp_device.h"
#include "device/usb_disk.h"
#include "platform/terminal.h"
#include "strings/res.h"
#include "strings/error.h"

#include <gtest/gtest.h>

#include <psapi.h>

namespace corvantix {
namespace {

TEST(Win32PnpDevice, UnknownInstanceFailsWithoutWaiting) {
  CPNPDevice device("USBSTOR\\DISK&VEN_CORVANTIX&PROD_NONE\\0000");
  DWORD start = GetTickCount();
  EXPECT_EQ(device.GetStatus(), PrivateProblem);
  EXPECT_EQ(device.Disable(), PrivateProblem);
  EXPECT_EQ(device.Refresh(), PrivateProblem);
  EXPECT_LT(GetTickCount() - start, 900u) << "no retry, no final wait";
}

TEST(Win32PnpDevice, IsWow64FindsTheRoutine) {
  BOOL native = FALSE;
  ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &native));
  EXPECT_EQ(IsWow64() != 0, native != FALSE);
  EXPECT_NE(fnIsWow64Process, nullptr);
}

TEST(Win32Inventory, WineListsItsDrivesButNoUsbDisk) {
  auto inventory = open_inventory();
  auto drives = inventory->instances("Win32_DiskDrive");
  for (const auto &drive : drives) {
    auto device_id = text_of(*drive, "DeviceID");
    ASSERT_TRUE(device_id);
    // Wine writes the path escaped, as in an object path; Windows not.
    EXPECT_NE(device_id->find("PHYSICALDRIVE"), std::string::npos);
    auto path = text_of(*drive, "__PATH");
    ASSERT_TRUE(path);
    EXPECT_NE(path->find(":Win32_DiskDrive."), std::string::npos) << *path;
    EXPECT_TRUE(number_of(*drive, "Size")) << "uint64 comes as text";
    // Wine reports no partitions; the query itself must work.
    inventory->associators(*drive, "Win32_DiskPartition");
    EXPECT_FALSE(drive->property("NoSuchProperty"));
  }
  UsbList list;
  list.build();
  EXPECT_TRUE(list.disks.empty());
  // So an unattended run on a letter says that no USB disk was found.
  Res::init_for("en-US");
  std::vector<platform::RunTarget> found = platform::find_run_targets({"E:"}, 0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].refusal, Res::get("ARGS_YES_NO_USB"));
  EXPECT_FALSE(found[0].disk);
}

TEST(Win32Inventory, ErrorsCarryTheResultCodeAndItsText) {
  auto inventory = open_inventory();
  try {
    inventory->instances("Win32 Disk");
    FAIL() << "a class name with a space must fail";
  } catch (const Error &e) {
    EXPECT_NE(std::string(e.what()).find("0x8004"), std::string::npos)
        << e.what();
  }
}

TEST(Win32Inventory, RepeatedBuildsKeepNoHandles) {
  UsbList list;
  list.build(); // the first build loads WMI's libraries
  DWORD before = 0, after = 0;
  GetProcessHandleCount(GetCurrentProcess(), &before);
  for (int i = 0; i < 20; ++i)
    list.build();
  GetProcessHandleCount(GetCurrentProcess(), &after);
  EXPECT_LE(after, before + 2);
}

} // namespace
} // namespace corvantix
