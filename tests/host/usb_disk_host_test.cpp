// A USB disk's operations on the emulated machine, from the formatter to
// the files in the image.
#include "platform/filesystem.h"
#include "device/usb_disk.h"
#include "strings/error.h"
#include "strings/res.h"

#include "emulated_machine.h"

#include <cstdio>
#include <fstream>
#include <memory>

namespace corvantix {
namespace {

using emulation::NodeBehaviour;

// Runs a command line; its standard output, or nullopt when it fails.
std::optional<std::string> run(const std::string &command) {
  std::unique_ptr<FILE, int (*)(FILE *)> pipe(
      popen((command + " 2>/dev/null").c_str(), "r"), pclose);
  if (!pipe)
    return std::nullopt;
  std::string out;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get()))
    out.append(buffer, n);
  if (pclose(pipe.release()) != 0)
    return std::nullopt;
  return out;
}

// The byte offset of the image's first partition.
std::uint64_t first_partition(const std::filesystem::path &image) {
  unsigned char entry[16] = {};
  std::ifstream in(image, std::ios::binary);
  in.seekg(446);
  in.read(reinterpret_cast<char *>(entry), sizeof entry);
  return std::uint64_t(entry[8] | entry[9] << 8 | entry[10] << 16 |
                       std::uint32_t(entry[11]) << 24) *
         512;
}

class UsbDiskHostTest : public test::EmulatedMachineTest {
protected:
  void SetUp() override {
    EmulatedMachineTest::SetUp();
    Res::init_for("en-US");
  }

  // The one listed disk of the machine.
  UsbDiskPtr listed() {
    UsbList list;
    list.build();
    return list.disks.size() == 1 ? list.disks[0] : nullptr;
  }
};

TEST_F(UsbDiskHostTest, RefreshFailureIsReportedWithItsMessage) {
  install({stick("stick", 'E', NodeBehaviour::UnknownId, 64ull << 20, true)});
  UsbDiskPtr disk = listed();
  ASSERT_TRUE(disk);
  try {
    disk->refresh();
    FAIL() << "an unknown device must not refresh";
  } catch (const Error &e) {
    EXPECT_STREQ(e.what(), "Cannot refresh.");
  }
  install({stick("stick", 'E', NodeBehaviour::Normal, 64ull << 20, true)});
  disk = listed();
  ASSERT_TRUE(disk);
  EXPECT_NO_THROW(disk->refresh());
  EXPECT_EQ(emulation::slept_milliseconds(), 2000u);
}

TEST_F(UsbDiskHostTest, FormatFailureCarriesTheCodeAndTheSystemText) {
  auto &machine = install({stick("stick", 'E', NodeBehaviour::Normal,
                                 64ull << 20, true)});
  UsbDiskPtr disk = listed();
  ASSERT_TRUE(disk);
  machine.fail_call("CreateFileA", ERROR_ACCESS_DENIED);
  try {
    disk->format();
    FAIL() << "format must fail";
  } catch (const Error &e) {
    EXPECT_STREQ(e.what(), "Error 5, Access is denied.");
  }
  machine.fail_call("CreateFileA", ERROR_SHARING_VIOLATION);
  try {
    disk->wipe();
    FAIL() << "wipe must fail";
  } catch (const Error &e) {
    EXPECT_STREQ(e.what(), "Error 32, The process cannot access the file "
                           "because it is being used by another process.");
  }
  Res::init_for("de-DE");
  machine.fail_call("CreateFileA", 4242); // a code without system text
  try {
    disk->format();
    FAIL() << "format must fail";
  } catch (const Error &e) {
    EXPECT_STREQ(e.what(), "Fehler 4242, ");
  }
  EXPECT_EQ(emulation::local_blocks(), 0u) << "system texts are released";
}

TEST_F(UsbDiskHostTest, FormattedStickRefreshedMountsAnEmptyFat32Volume) {
  auto &machine = install({stick("stick", 'E', NodeBehaviour::Normal,
                                 256ull << 20, true)});
  std::filesystem::path image = machine.disks()[0].config.image;
  UsbDiskPtr disk = listed();
  ASSERT_TRUE(disk);
  platform::FileSystem &files = platform::native_file_system();
  ASSERT_EQ(files.attributes("E:\\README.TXT"), platform::kAttributeArchive)
      << "a shop stick has files";

  EXPECT_NO_THROW(disk->format());
  EXPECT_EQ(disk->letter, 'E');
  EXPECT_EQ(disk->path, "E:\\");
  EXPECT_EQ(disk->size, 256ull << 20);
  EXPECT_NO_THROW(disk->refresh());

  ASSERT_TRUE(files.volume_ready("E:\\")) << "the new volume did not mount";
  EXPECT_TRUE(files.folder_empty("E:\\"));
  {
    auto hello = files.create_file("E:\\HELLO.TXT");
    hello->write("written on E:", 13);
    hello->flush();
  }

  std::uint64_t offset = first_partition(image);
  EXPECT_EQ(offset, 32u * 512);
  std::string target = image.string() + "@@" + std::to_string(offset);
  auto info = run("MTOOLS_SKIP_CHECK=1 minfo -i '" + target + "' ::");
  ASSERT_TRUE(info);
  EXPECT_NE(info->find("FAT32"), std::string::npos) << *info;
  EXPECT_EQ(run("MTOOLS_SKIP_CHECK=1 mtype -i '" + target + "' ::HELLO.TXT"),
            "written on E:");
  auto listing = run("MTOOLS_SKIP_CHECK=1 mdir -b -i '" + target + "' ::");
  ASSERT_TRUE(listing);
  EXPECT_EQ(*listing, "::/HELLO.TXT\n");
}

TEST_F(UsbDiskHostTest, WipedStickHasNoVolumeAfterRefreshAndIsNoLongerListed) {
  auto &machine = install({stick("stick", 'E', NodeBehaviour::Normal,
                                 64ull << 20, true)});
  UsbDiskPtr disk = listed();
  ASSERT_TRUE(disk);
  EXPECT_NO_THROW(disk->wipe());
  EXPECT_NO_THROW(disk->refresh());
  EXPECT_FALSE(platform::native_file_system().volume_ready("E:\\"));
  EXPECT_FALSE(machine.disks()[0].mounted);
  EXPECT_FALSE(listed());
}

} // namespace
} // namespace corvantix
