// A whole preparation with the default options on the default machine's
// stick, judged afterwards by tools that are not ours: fsck.fat, mtools and
// a FreeDOS boot in QEMU.
#include "host/stick_files.h"
#include "host/emulated_machine.h"
#include "platform/host/win32/dos_attributes.h"
#include "platform/resources.h"
#include "device/usb_disk.h"
#include "pipeline/process.h"
#include "strings/error.h"
#include "strings/res.h"
#include "unit/fault_file_system.h"

#include <cstdio>
#include <fstream>
#include <map>

using namespace corvantix;
namespace fs = std::filesystem;

namespace {

struct Output {
  int status;
  std::string text;
};

// Runs a shell command line; its output and error output together.
Output shell(const std::string &command) {
  Output out{-1, {}};
  FILE *pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe)
    return out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
    out.text.append(buffer, n);
  int status = pclose(pipe);
  out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

std::string quoted(const fs::path &path) { return "'" + path.string() + "'"; }

// The attribute letters (A, S, H, R) of every entry, as mattrib lists them.
std::map<std::string, std::string> listed_attributes(const std::string &image) {
  Output listed = shell("MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null mattrib -/ -i " +
                        image + " '::*'");
  std::map<std::string, std::string> attributes;
  std::size_t start = 0;
  while (start < listed.text.size()) {
    std::size_t end = listed.text.find('\n', start);
    std::string line = listed.text.substr(start, end - start);
    start = end == std::string::npos ? listed.text.size() : end + 1;
    std::size_t name = line.find("::/");
    if (name == std::string::npos)
      continue;
    std::string letters;
    for (char c : line.substr(0, name))
      if (c != ' ')
        letters += c;
    attributes[line.substr(name + 3)] = letters;
  }
  return attributes;
}

std::uint32_t le32(const std::string &bytes, std::size_t at) {
  return std::uint8_t(bytes[at]) | std::uint8_t(bytes[at + 1]) << 8 |
         std::uint8_t(bytes[at + 2]) << 16 |
         std::uint32_t(std::uint8_t(bytes[at + 3])) << 24;
}

class PrepareEndToEnd : public test::EmulatedMachineTest {
protected:
  void SetUp() override {
    EmulatedMachineTest::SetUp();
    Res::init_for("en-US");
    previous_ = fs::current_path();
    // The default machine keeps its stick image in the working folder.
    fs::current_path(folder_.path());
    emulation::Machine::install(nullptr);
  }
  void TearDown() override {
    EmulatedMachineTest::TearDown();
    fs::current_path(previous_);
  }

  void put(const std::string &path, const std::string &bytes,
           std::uint8_t attributes) {
    test::StickFiles::of('E').put(path, bytes, attributes);
  }

  fs::path previous_;
};

TEST_F(PrepareEndToEnd, DefaultOptionsMakeACleanBootableStick) {
  emulation::Machine &machine = emulation::Machine::current();
  emulation::Disk *stick = machine.disk_by_letter('E');
  ASSERT_TRUE(stick && stick->mounted);
  fs::path image = stick->config.image;

  put("NOTES.TXT", "my notes\r\n", emulation::kDosArchive);
  put("HIDDEN.DAT", "hidden", emulation::kDosArchive | emulation::kDosHidden);
  put("LOCKED.TXT", "read-only", emulation::kDosReadOnly);
  put("DEEP/ER/STILL/FILE.BIN", std::string(100000, 'd'),
      emulation::kDosArchive | emulation::kDosSystem);

  fs::path extra = folder_.path() / "extra";
  fs::create_directories(extra / "TOOLS");
  std::ofstream(extra / "TOOLS" / "README.1ST") << "tools\r\n";
  // Tells the boot test that the shell ran AUTOEXEC.BAT; the marker is put
  // together at run time so that the file itself does not hold it. It goes
  // out three times: the BIOS copies the screen to COM1 too, late, and that
  // copy may land inside one of them.
  const std::string marker = "echo CORVANTIX-%CXM%>COM1\r\n";
  std::ofstream(extra / "AUTOEXEC.BAT", std::ios::binary)
      << "@echo off\r\nprompt $P$G\r\nset CXM=BOOT-OK\r\n" + marker + marker +
             marker;

  UsbList list;
  list.build();
  UsbDiskPtr disk = list.by_letter('E');
  ASSERT_TRUE(disk);
  test::FaultFileSystem temp;
  temp.temp = (folder_.path() / "temp").string();
  fs::create_directories(temp.temp);
  Process process;
  process.add_copy_directory(extra.string());
  {
    platform::FileSystemOverride use(temp);
    try {
      process.process(disk, nullptr);
    } catch (...) {
      FAIL() << describe_chain(std::current_exception());
    }
  }
  disk.reset();
  list.disks.clear();
  emulation::Machine::install(nullptr);

  std::string mbr(512, '\0');
  std::ifstream(image, std::ios::binary).read(mbr.data(), 512);
  std::uint64_t offset = std::uint64_t(le32(mbr, 446 + 8)) * 512;
  std::string at = quoted(image) + "@@" + std::to_string(offset);

  // fsck.fat takes no offset: a sparse copy with the sectors before the
  // partition cut away.
  fs::path partition = folder_.path() / "partition.img";
  Output cut = shell("cp --sparse=always " + quoted(image) + " " +
                     quoted(partition) + " && fallocate -c -o 0 -l " +
                     std::to_string(offset) + " " + quoted(partition));
  ASSERT_EQ(cut.status, 0) << cut.text;
  Output fsck = shell("PATH=$PATH:/usr/sbin:/sbin fsck.fat -n " + quoted(partition));
  EXPECT_EQ(fsck.status, 0) << fsck.text;
  EXPECT_EQ(fsck.text.find("differ"), std::string::npos) << fsck.text;
  fs::remove(partition);

  auto attributes = listed_attributes(at);
  for (const char *name : {"KERNEL.SYS", "COMMAND.COM", "CONFIG.SYS",
                           "AUTOEXEC.BAT", "ThirdPartyLicenses.txt"})
    EXPECT_TRUE(attributes.count(name)) << name << " missing";
  EXPECT_EQ(attributes["NOTES.TXT"], "A");
  EXPECT_EQ(attributes["HIDDEN.DAT"], "AH");
  EXPECT_EQ(attributes["LOCKED.TXT"], "R");
  EXPECT_EQ(attributes["DEEP/ER/STILL/FILE.BIN"], "AS");
  EXPECT_TRUE(attributes.count("TOOLS/README.1ST"));
  EXPECT_TRUE(attributes.count("README.TXT")) << "the shop's file is restored";

  Output kernel = shell("MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null mcopy -i " + at +
                        " ::/KERNEL.SYS - | cmp - " CORVANTIX_PAYLOAD_DIR "/KERNEL.SYS");
  EXPECT_EQ(kernel.status, 0) << kernel.text;

  Output boot = shell(std::string("bash " CORVANTIX_SOURCE_DIR
                                  "/tests/boot/qemu_boot.sh ") +
                      quoted(image) + " --timeout 60");
  EXPECT_EQ(boot.status, 0) << boot.text;
}

} // namespace
