// The formatter's raw-disk calls on real Win32 devices: raw_disk.sh gives
// Wine a prefix in which image files are the disk \\.\PhysicalDrive1 and
// the volume \\.\E: of its first partition, and names the images here.
// Wine opens, writes and locks such devices, but has no disk geometry for
// them, so a format runs up to its geometry query.
#include "device/usb_disk.h"
#include "disk/boot_records.h"
#include "disk/formatter.h"
#include "disk/layout.h"
#include "strings/error.h"
#include "strings/res.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

namespace corvantix {
namespace {

constexpr char disk_path[] = "\\\\.\\PhysicalDrive1";

class Win32RawDisk : public testing::Test {
protected:
  void SetUp() override {
    const char *disk = std::getenv("CORVANTIX_RAW_DISK");
    const char *volume = std::getenv("CORVANTIX_RAW_VOLUME");
    if (!disk || !volume)
      GTEST_SKIP() << "needs the disk prefix of raw_disk.sh";
    disk_image_ = disk;
    volume_image_ = volume;
    Res::init_for("en-US");
  }
  void TearDown() override { Res::init_for("en-US"); }

  // An image's bytes, read beside the device that the test writes.
  static std::string contents(const std::string &image) {
    HANDLE file = CreateFileA(image.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << image;
    std::string data(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    ReadFile(file, data.data(), DWORD(data.size()), &read, nullptr);
    CloseHandle(file);
    data.resize(read);
    return data;
  }
  static DWORD handle_count() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
  }

  std::string disk_image_, volume_image_;
};

TEST_F(Win32RawDisk, WipeFillsTheFirstSectorAndLeavesTheRest) {
  std::string before = contents(disk_image_);
  ASSERT_GE(before.size(), 64u * 1024);
  ASSERT_EQ(WipeMBR(disk_path), 0u);
  std::string after = contents(disk_image_);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after.substr(0, 512), std::string(512, '\xFF'));
  EXPECT_TRUE(after.substr(512) == before.substr(512)) << "bytes past the first sector changed";
}

TEST_F(Win32RawDisk, AlignedWritesLandAtTheirPositions) {
  HANDLE disk = CreateFileA(disk_path, GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
  ASSERT_NE(disk, INVALID_HANDLE_VALUE) << GetLastError();
  std::string before = contents(disk_image_);
  std::string record(reinterpret_cast<const char *>(&MasterBootRecord), 512);
  EXPECT_EQ(WriteSector(disk, 16384, 512, &MasterBootRecord), 0u);
  EXPECT_EQ(WriteSector(disk, 0, 512, &MasterBootRecord), 0u);
  CloseHandle(disk);
  std::string after = contents(disk_image_);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_TRUE(after.substr(0, 512) == record);
  EXPECT_TRUE(after.substr(16384, 512) == record);
  EXPECT_TRUE(after.substr(512, 16384 - 512) == before.substr(512, 16384 - 512));
  EXPECT_TRUE(after.substr(16384 + 512) == before.substr(16384 + 512));
}

// The volume opens and locks; the geometry query fails with 50, which the
// formatter returns before it writes anything, with every handle closed.
TEST_F(Win32RawDisk, FormatStopsAtTheGeometryQuery) {
  std::string disk_before = contents(disk_image_);
  std::string volume_before = contents(volume_image_);
  DWORD handles = handle_count();
  EXPECT_EQ(CreatePartitionAndFormatFAT32(disk_path, 'E'), DWORD(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(handle_count(), handles);
  EXPECT_TRUE(contents(disk_image_) == disk_before);
  EXPECT_TRUE(contents(volume_image_) == volume_before);

  // Closed means another program may take the devices to itself.
  for (const char *path : {disk_path, "\\\\.\\E:"}) {
    HANDLE alone = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(alone, INVALID_HANDLE_VALUE) << path << " is still open";
    CloseHandle(alone);
  }

  UsbDisk stick(disk_path, "Stick", disk_before.size(),
                "USBSTOR\\DISK&VEN_X&PROD_Y\\1", 'E');
  try {
    stick.format();
    FAIL() << "format without a disk geometry succeeded";
  } catch (const Error &e) {
    std::string message = e.what();
    EXPECT_EQ(message.rfind("Error 50, ", 0), 0u) << message;
    EXPECT_GT(message.size(), std::string("Error 50, ").size()) << message;
  }
}

// The layout read opens the disk for reading only and stops at the same
// geometry query: the code comes back, nothing is written, the handle is
// closed, and the check before a run words it.
TEST_F(Win32RawDisk, LayoutReadStopsAtTheGeometryQuery) {
  std::string disk_before = contents(disk_image_);
  DWORD handles = handle_count();
  DISK_LAYOUT layout;
  EXPECT_EQ(ReadDiskLayout(disk_path, layout), DWORD(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(handle_count(), handles);
  EXPECT_TRUE(layout.Partitions.empty());
  EXPECT_TRUE(contents(disk_image_) == disk_before);

  UsbDisk stick(disk_path, "Stick", disk_before.size(),
                "USBSTOR\\DISK&VEN_X&PROD_Y\\1", 'E');
  for (bool backup : {true, false})
    try {
      stick.check_layout(backup);
      FAIL() << "a layout without a disk geometry passed";
    } catch (const Error &e) {
      std::string message = e.what();
      const std::string head = "The partition table of E:\\ could not be read. Error 50, ";
      EXPECT_EQ(message.rfind(head, 0), 0u) << message;
      EXPECT_GT(message.size(), head.size()) << message;
    }
}

} // namespace
} // namespace corvantix
