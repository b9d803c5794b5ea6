// The host file system on the emulated machine's volumes: drive paths,
// readiness, and the protections that Windows keeps even for root.
#include "pipeline/folder.h"
#include "platform/filesystem.h"
#include "platform/host/dos_attributes.h"

#include "emulated_machine.h"

#include <sys/stat.h>

#include <fstream>

namespace corvantix {
namespace {

using platform::FileError;

std::uint32_t code_of(const std::function<void()> &call) {
  try {
    call();
  } catch (const FileError &e) {
    return e.code();
  }
  return 0;
}

std::string slurp(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class HostFileSystem : public test::EmulatedMachineTest {
protected:
  void SetUp() override {
    EmulatedMachineTest::SetUp();
    install({stick("stick", 'E', emulation::NodeBehaviour::Normal, 40 << 20,
                   true)});
    root = *emulation::Machine::current().host_path("E:\\");
  }

  void write(const std::filesystem::path &file, const std::string &bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
  }

  platform::FileSystem &files = platform::native_file_system();
  std::filesystem::path root;
};

TEST_F(HostFileSystem, DriveRootsCopyBothWays) {
  write(root / "SUB" / "F.TXT", "on the stick");
  std::filesystem::path out = folder_.path() / "out";
  std::filesystem::create_directories(out);
  Folder("E:\\").copy(out.string());
  EXPECT_EQ(slurp(out / "SUB" / "F.TXT"), "on the stick");
  EXPECT_EQ(slurp(out / "README.TXT"), slurp(root / "README.TXT"));

  write(out / "NEW" / "G.TXT", "back");
  Folder(out.string()).copy("E:\\");
  EXPECT_EQ(slurp(root / "NEW" / "G.TXT"), "back");
  // Either separator, and the letter without one, name the root.
  EXPECT_EQ(Folder("E:").path(), "E:\\");
  EXPECT_EQ(Folder("E:/NEW/").path(), "E:\\NEW\\");
  // Listings begin with the folder's path as it was given.
  EXPECT_EQ(files.list_tree("E:/NEW").files,
            std::vector<std::string>{"E:/NEW\\G.TXT"});
  EXPECT_EQ(files.list_tree("e:\\new").files,
            std::vector<std::string>{"e:\\new\\G.TXT"});
}

TEST_F(HostFileSystem, ReadinessFollowsTheMountedVolume) {
  EXPECT_TRUE(files.volume_ready("E:\\"));
  EXPECT_TRUE(files.volume_ready("E:"));
  EXPECT_FALSE(files.volume_ready("F:\\"));
  EXPECT_EQ(code_of([&] { files.list_tree("F:\\"); }), 3u);
  emulation::Machine &machine = emulation::Machine::current();
  machine.dismount(*machine.disk_by_letter('E'));
  EXPECT_FALSE(files.volume_ready("E:\\"));
  EXPECT_EQ(code_of([&] { files.copy_file(folder_.path().string(), "E:\\X"); }),
            3u);
}

TEST_F(HostFileSystem, ProtectionsHoldForRoot) {
  write(root / "RO.TXT", "read-only");
  write(root / "HID.TXT", "hidden");
  write(root / "SYS.TXT", "system");
  emulation::set_dos_attributes(root / "RO.TXT", emulation::kDosReadOnly);
  emulation::set_dos_attributes(root / "HID.TXT", emulation::kDosHidden);
  emulation::set_dos_attributes(root / "SYS.TXT", emulation::kDosSystem);
  std::filesystem::path source = folder_.path() / "source.txt";
  write(source, "new");

  EXPECT_EQ(code_of([&] { files.copy_file(source.string(), "E:\\RO.TXT"); }), 5u);
  EXPECT_EQ(code_of([&] { files.copy_file(source.string(), "E:\\HID.TXT"); }), 5u);
  EXPECT_EQ(code_of([&] { files.copy_file(source.string(), "E:\\SYS.TXT"); }), 0u)
      << "a system file may be replaced by a copy";
  for (const char *name : {"E:\\RO.TXT", "E:\\HID.TXT"})
    EXPECT_EQ(code_of([&] { files.create_file(name); }), 5u) << name;
  EXPECT_EQ(slurp(root / "RO.TXT"), "read-only");
  EXPECT_EQ(slurp(root / "HID.TXT"), "hidden");

  emulation::set_dos_attributes(root / "SYS.TXT", emulation::kDosSystem);
  EXPECT_EQ(code_of([&] { files.create_file("E:\\SYS.TXT"); }), 5u);

  std::filesystem::create_directories(root / "DIR");
  std::filesystem::rename(root / "RO.TXT", root / "DIR" / "RO.TXT");
  EXPECT_EQ(code_of([&] { files.delete_tree("E:\\DIR"); }), 5u);
  EXPECT_TRUE(std::filesystem::exists(root / "DIR" / "RO.TXT"));
  Folder("E:\\DIR").remove();
  EXPECT_FALSE(std::filesystem::exists(root / "DIR"));
}

TEST_F(HostFileSystem, NewFilesGetTheArchiveBitAndFailuresTheirCodes) {
  {
    auto file = files.create_file("E:\\NEW.TXT");
    EXPECT_EQ(file->write("abc", 3), 3u);
    file->flush();
  }
  EXPECT_EQ(emulation::dos_attributes(root / "NEW.TXT"), emulation::kDosArchive);
  EXPECT_EQ(files.attributes("E:\\NEW.TXT"), platform::kAttributeArchive);
  EXPECT_EQ(files.attributes("E:\\Photos"), platform::kAttributeDirectory);
  EXPECT_EQ(code_of([&] { files.attributes("E:\\NONE.TXT"); }), 2u);
  EXPECT_EQ(code_of([&] { files.create_file("E:\\NO\\NEW.TXT"); }), 3u);
  EXPECT_EQ(code_of([&] { files.copy_file("E:\\NONE.TXT", "E:\\X.TXT"); }), 2u);
  EXPECT_EQ(code_of([&] { files.copy_file("E:\\NEW.TXT", "E:\\NO\\X.TXT"); }), 3u);
  EXPECT_EQ(code_of([&] { files.copy_file("E:\\Photos", "E:\\X"); }), 5u);
  EXPECT_EQ(code_of([&] { files.folder_empty("E:\\NEW.TXT"); }), 267u);
  EXPECT_STREQ(FileError(3, "E:\\NO").what(),
               "The system cannot find the path specified.");
}

TEST_F(HostFileSystem, TemporaryFoldersAreTheUsersOwn) {
  setenv("TMPDIR", folder_.path().c_str(), 1);
  EXPECT_EQ(files.temp_folder(), folder_.path().string());
  Folder made = Folder::create_temp("Corvantix");
  unsetenv("TMPDIR");
  struct stat info {};
  ASSERT_EQ(stat(made.path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(std::filesystem::path(made.path()).parent_path(),
            folder_.path() / "Corvantix");
}

} // namespace
} // namespace corvantix
