// The host file system on the emulated machine's volumes: drive paths go
// to the FAT file system in the image, with its names, attributes and free
// space; host paths keep DOS attributes with or without user extended
// attributes; and the protections that Windows keeps even for root.
#include "pipeline/folder.h"
#include "platform/filesystem.h"
#include "platform/host/win32/dos_attributes.h"

#include "emulated_machine.h"
#include "stick_files.h"

#include <sys/stat.h>

#include <fstream>

namespace corvantix {
namespace {

using platform::FileError;
using test::StickFiles;
using test::slurp;

std::uint32_t code_of(const std::function<void()> &call) {
  try {
    call();
  } catch (const FileError &e) {
    return e.code();
  }
  return 0;
}

std::vector<std::string> names_in(const std::filesystem::path &folder) {
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class HostFileSystem : public test::EmulatedMachineTest {
protected:
  void SetUp() override {
    EmulatedMachineTest::SetUp();
    install({stick("stick", 'E', emulation::NodeBehaviour::Normal, 40 << 20,
                   true)});
  }

  void TearDown() override {
    emulation::refuse_user_xattrs(false);
    EmulatedMachineTest::TearDown();
  }

  void write(const std::filesystem::path &file, const std::string &bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
  }

  std::filesystem::path out(const std::string &name = "out") {
    std::filesystem::path made = folder_.path() / name;
    std::filesystem::create_directories(made);
    return made;
  }

  StickFiles stick_files() { return StickFiles::of('E'); }

  platform::FileSystem &files = platform::native_file_system();
};

TEST_F(HostFileSystem, DriveRootsCopyBothWays) {
  stick_files().put("SUB/F.TXT", "on the stick");
  std::filesystem::path copy = out();
  Folder("E:\\").copy(copy.string());
  EXPECT_EQ(slurp(copy / "SUB" / "F.TXT"), "on the stick");
  EXPECT_EQ(slurp(copy / "README.TXT"), stick_files().read("README.TXT"));

  write(copy / "NEW" / "G.TXT", "back");
  Folder(copy.string()).copy("E:\\");
  EXPECT_EQ(stick_files().read("NEW/G.TXT"), "back");
  // Either separator, and the letter without one, name the root.
  EXPECT_EQ(Folder("E:").path(), "E:\\");
  EXPECT_EQ(Folder("E:/NEW/").path(), "E:\\NEW\\");
  // Listings begin with the folder's path as it was given.
  EXPECT_EQ(files.list_tree("E:/NEW").files,
            std::vector<std::string>{"E:/NEW\\G.TXT"});
  EXPECT_EQ(files.list_tree("e:\\new").files,
            std::vector<std::string>{"e:\\new\\G.TXT"});
  // Single copies out and back, and from the volume onto itself.
  files.copy_file("E:\\NEW\\g.txt", (copy / "single.txt").string());
  EXPECT_EQ(slurp(copy / "single.txt"), "back");
  files.copy_file("E:\\NEW\\G.TXT", "E:\\SUB\\G2.TXT");
  EXPECT_EQ(stick_files().read("SUB/G2.TXT"), "back");
}

TEST_F(HostFileSystem, ReadinessFollowsTheMountedVolume) {
  EXPECT_TRUE(files.volume_ready("E:\\"));
  EXPECT_TRUE(files.volume_ready("E:"));
  EXPECT_FALSE(files.volume_ready("F:\\"));
  EXPECT_FALSE(files.volume_in_use("E:\\"));
  EXPECT_EQ(code_of([&] { files.list_tree("F:\\"); }), 3u);
  emulation::Machine &machine = emulation::Machine::current();
  machine.dismount(*machine.disk_by_letter('E'));
  EXPECT_FALSE(files.volume_ready("E:\\"));
  // A letter without a file system that can be read is a RAW volume.
  EXPECT_EQ(code_of([&] { files.copy_file(folder_.path().string(), "E:\\X"); }),
            std::uint32_t(ERROR_UNRECOGNIZED_VOLUME));
}

TEST_F(HostFileSystem, ProtectionsHoldForRoot) {
  stick_files().put("RO.TXT", "read-only", emulation::kDosReadOnly);
  stick_files().put("HID.TXT", "hidden", emulation::kDosHidden);
  stick_files().put("SYS.TXT", "system", emulation::kDosSystem);
  std::filesystem::path source = folder_.path() / "source.txt";
  write(source, "new");

  EXPECT_EQ(code_of([&] { files.copy_file(source.string(), "E:\\RO.TXT"); }), 5u);
  EXPECT_EQ(code_of([&] { files.copy_file(source.string(), "E:\\hid.txt"); }), 5u);
  EXPECT_EQ(code_of([&] { files.copy_file(source.string(), "E:\\SYS.TXT"); }), 0u)
      << "a system file may be replaced by a copy";
  for (const char *name : {"E:\\RO.TXT", "E:\\HID.TXT"})
    EXPECT_EQ(code_of([&] { files.create_file(name); }), 5u) << name;
  EXPECT_EQ(stick_files().read("RO.TXT"), "read-only");
  EXPECT_EQ(stick_files().read("HID.TXT"), "hidden");

  stick_files().set_attributes("SYS.TXT", emulation::kDosSystem);
  EXPECT_EQ(code_of([&] { files.create_file("E:\\SYS.TXT"); }), 5u);

  // A tree copy refuses the same files, before it copies anything.
  std::filesystem::path tree = out("tree");
  write(tree / "A.TXT", "a");
  write(tree / "RO.TXT", "over it");
  EXPECT_EQ(code_of([&] { files.copy_tree(tree.string(), "E:\\"); }), 5u);
  EXPECT_EQ(stick_files().read("RO.TXT"), "read-only");
  EXPECT_FALSE(stick_files().exists("A.TXT"));

  stick_files().put("DIR/RO.TXT", "read-only", emulation::kDosReadOnly);
  EXPECT_EQ(code_of([&] { files.delete_tree("E:\\DIR"); }), 5u);
  EXPECT_TRUE(stick_files().exists("DIR/RO.TXT"));
  Folder("E:\\DIR").remove();
  EXPECT_FALSE(stick_files().exists("DIR"));
}

TEST_F(HostFileSystem, NewFilesGetTheArchiveBitAndFailuresTheirCodes) {
  {
    auto file = files.create_file("E:\\NEW.TXT");
    EXPECT_EQ(file->write("abc", 3), 3u);
    file->flush();
  }
  EXPECT_EQ(stick_files().attributes("NEW.TXT"), emulation::kDosArchive);
  EXPECT_EQ(files.attributes("E:\\NEW.TXT"), platform::kAttributeArchive);
  EXPECT_EQ(files.attributes("E:\\Photos"), platform::kAttributeDirectory);
  EXPECT_EQ(code_of([&] { files.attributes("E:\\NONE.TXT"); }), 2u);
  EXPECT_EQ(code_of([&] { files.create_file("E:\\NO\\NEW.TXT"); }), 3u);
  EXPECT_EQ(code_of([&] { files.copy_file("E:\\NONE.TXT", "E:\\X.TXT"); }), 2u);
  EXPECT_EQ(code_of([&] { files.copy_file("E:\\NEW.TXT", "E:\\NO\\X.TXT"); }), 3u);
  EXPECT_EQ(code_of([&] { files.copy_file("E:\\Photos", "E:\\X"); }), 5u);
  EXPECT_EQ(code_of([&] { files.folder_empty("E:\\NEW.TXT"); }), 267u);
  EXPECT_EQ(code_of([&] { files.create_folders("E:\\NEW.TXT\\SUB"); }), 183u);
  EXPECT_TRUE(files.create_new_folder("E:\\FRESH"));
  EXPECT_FALSE(files.create_new_folder("E:\\fresh"));
  EXPECT_TRUE(files.folder_empty("E:\\FRESH"));
  EXPECT_STREQ(FileError(3, "E:\\NO").what(),
               "The system cannot find the path specified.");
}

// Names as a user gives them on Windows come back unchanged, those that
// fit 8.3 in lower case (kept in the short entry's case bits) included.
TEST_F(HostFileSystem, UnicodeNamesComeBackUnchanged) {
  const std::vector<std::string> names = {
      "Größe.txt", "Müller.txt", "README.TXT", "café.txt", "Çedille.txt",
      "Ünï", "日本語.txt"}; // in byte order
  for (const std::string &name : names)
    if (name != "README.TXT" && name != "Ünï")
      stick_files().put(name, name); // written by another system
  stick_files().put("Ünï/ßé.txt", "deep");
  stick_files().run("mdeltree", {"::/Photos"});

  std::filesystem::path copy = out();
  files.copy_tree("E:\\", copy.string());
  EXPECT_EQ(names_in(copy), names);
  EXPECT_EQ(slurp(copy / "Çedille.txt"), "Çedille.txt");
  EXPECT_EQ(slurp(copy / "Ünï" / "ßé.txt"), "deep");

  // Back onto an empty volume, in one copy and file by file.
  for (bool batched : {true, false}) {
    SCOPED_TRACE(batched ? "tree copy" : "file by file");
    for (const std::string &name : names_in(copy))
      stick_files().run("mdeltree", {"::/" + name});
    if (batched)
      files.copy_tree(copy.string(), "E:\\");
    else
      files.platform::FileSystem::copy_tree(copy.string(), "E:\\");
    std::vector<std::string> listed;
    for (const std::string &file : files.list_tree("E:\\").files)
      listed.push_back(file.substr(3));
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{
                          "Größe.txt", "Müller.txt", "README.TXT", "café.txt",
                          "Çedille.txt", "Ünï\\ßé.txt", "日本語.txt"}));
    EXPECT_EQ(stick_files().read("café.txt"), "café.txt");
    EXPECT_EQ(stick_files().read("Çedille.txt"), "Çedille.txt");
    std::string dir = stick_files().listing();
    EXPECT_NE(dir.find("日本語.txt"), std::string::npos) << dir;
  }
}

TEST_F(HostFileSystem, AFullVolumeFailsTheCopyWithDiskFull) {
  emulation::Machine::install(nullptr);
  install({stick("small", 'E', emulation::NodeBehaviour::Normal, 9 << 20, true)});
  std::filesystem::path big = folder_.path() / "big.bin";
  write(big, std::string(12 << 20, 'b'));
  EXPECT_EQ(code_of([&] { files.copy_file(big.string(), "E:\\BIG.BIN"); }), 112u);
  EXPECT_FALSE(stick_files().exists("BIG.BIN")) << "no partial file is left";

  std::filesystem::path tree = out("tree");
  write(tree / "SMALL.TXT", "fits");
  std::filesystem::copy_file(big, tree / "WIDE.BIN");
  EXPECT_EQ(code_of([&] { files.copy_tree(tree.string(), "E:\\"); }), 112u);

  auto file = files.create_file("E:\\WRITTEN.BIN");
  file->write(std::string(12 << 20, 'w').data(), 12 << 20);
  EXPECT_EQ(code_of([&] { file->flush(); }), 112u) << "flush reports it";
}

TEST_F(HostFileSystem, TemporaryFoldersAreTheUsersOwn) {
  setenv("TMPDIR", folder_.path().c_str(), 1);
  EXPECT_EQ(files.temp_folder(), folder_.path().string());
  Folder made = Folder::create_temp("Corvantix");
  unsetenv("TMPDIR");
  struct stat info {};
  ASSERT_EQ(stat(made.path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((folder_.path() / "Corvantix").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(std::filesystem::path(made.path()).parent_path(),
            folder_.path() / "Corvantix");

  // Whatever is copied or written there is the user's alone.
  stick_files().put("DEEP/ER/F.TXT", "f");
  Folder("E:\\").copy(made.path());
  files.create_file(made.path() + "/NEW.TXT");
  for (const auto &entry :
       std::filesystem::recursive_directory_iterator(made.path())) {
    ASSERT_EQ(stat(entry.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 077, 0u) << entry.path();
  }
}

// The temporary folder is shared: a "Corvantix" there that is not this
// user's own, whoever made it, is never where a backup goes.
TEST_F(HostFileSystem, AForeignBackupFolderIsPassedOver) {
  namespace fs = std::filesystem;
  const std::function<void(const fs::path &)> plants[] = {
      [](const fs::path &p) { fs::create_directory(p); ::chmod(p.c_str(), 0777); },
      [&](const fs::path &p) { fs::create_directory_symlink(out("elsewhere"), p); },
      [](const fs::path &p) {
        fs::create_directory(p);
        ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
      },
  };
  setenv("TMPDIR", folder_.path().c_str(), 1);
  for (const auto &plant : plants) {
    fs::remove_all(folder_.path() / "Corvantix");
    fs::remove_all(folder_.path() / ("Corvantix-" + std::to_string(geteuid())));
    plant(folder_.path() / "Corvantix");
    Folder made = Folder::create_temp("Corvantix");
    EXPECT_EQ(fs::path(made.path()).parent_path(),
              folder_.path() / ("Corvantix-" + std::to_string(geteuid())));
    EXPECT_TRUE(fs::is_empty(out("elsewhere")));
  }
  unsetenv("TMPDIR");
}

// A copy folder holds files and folders; links are followed only where
// they stay inside it. Nothing of a refused folder reaches the stick.
TEST_F(HostFileSystem, CopyFoldersHoldFilesAndFoldersOnly) {
  namespace fs = std::filesystem;
  struct Case {
    const char *name;
    std::function<void(const fs::path &)> plant;
    std::uint32_t code; ///< 0: copied
  } cases[] = {
      {"fifo", [](const fs::path &p) { ::mkfifo((p / "pipe").c_str(), 0600); }, 50},
      {"out", [](const fs::path &p) { fs::create_symlink("/etc/hostname", p / "host"); }, 5},
      {"loop", [](const fs::path &p) {
         fs::create_symlink(p / "b", p / "a");
         fs::create_symlink(p / "a", p / "b");
       }, 1921},
      {"up", [](const fs::path &p) { fs::create_directory_symlink(p, p / "SUB" / "UP"); }, 1921},
      {"in", [](const fs::path &p) {
         fs::create_symlink(p / "A.TXT", p / "SUB" / "LINK.TXT");
       }, 0},
  };
  for (const Case &c : cases) {
    fs::path tree = out(c.name);
    write(tree / "A.TXT", "a");
    fs::create_directories(tree / "SUB");
    c.plant(tree);
    files.create_folders(std::string("E:\\") + c.name);
    EXPECT_EQ(code_of([&] { files.copy_tree(tree.string(), std::string("E:\\") + c.name); }),
              c.code) << c.name;
    EXPECT_EQ(stick_files().exists(std::string(c.name) + "/A.TXT"), c.code == 0) << c.name;
  }
  EXPECT_EQ(stick_files().read("in/SUB/LINK.TXT"), "a");
}

// Copied by its 8.3 name, a file takes that name and no entry that merely
// holds it as a short alias is replaced; both end under their own names.
TEST_F(HostFileSystem, ACopyNeverReplacesAnEntryThroughItsAlias) {
  auto long_one = files.create_file("E:\\1 long name.txt");
  long_one->write("long", 4);
  long_one->flush();
  long_one.reset();
  ASSERT_EQ(files.entry_name("E:\\1LONGN~1.TXT"), "1 long name.txt");
  std::filesystem::path tree = out("alias");
  write(tree / "1LONGN~1.TXT", "short");
  Folder(tree.string()).copy("E:\\");
  EXPECT_EQ(files.entry_name("E:\\1LONGN~1.TXT"), "1LONGN~1.TXT");
  EXPECT_EQ(stick_files().read("1LONGN~1.TXT"), "short");
  EXPECT_EQ(stick_files().read("1 long name.txt"), "long");
}

// Without user extended attributes (ramfs, older tmpfs) the attributes
// live in a side record that no listing shows.
TEST_F(HostFileSystem, AttributesSurviveWithoutUserExtendedAttributes) {
  emulation::refuse_user_xattrs(true);
  stick_files().put("LOCKED.TXT", "l", emulation::kDosReadOnly);
  stick_files().put("SUB/SECRET.DAT", "s",
                    emulation::kDosHidden | emulation::kDosSystem);
  std::filesystem::path copy = out();
  Folder("E:\\").copy(copy.string());
  EXPECT_EQ(files.attributes((copy / "LOCKED.TXT").string()),
            platform::kAttributeReadOnly);
  EXPECT_EQ(files.attributes((copy / "SUB" / "SECRET.DAT").string()),
            platform::kAttributeHidden | platform::kAttributeSystem);
  for (const std::string &file : files.list_tree(copy.string()).files)
    EXPECT_EQ(file.find(emulation::kSideRecord), std::string::npos) << file;
  struct stat info {};
  ASSERT_EQ(stat((copy / emulation::kSideRecord).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 077, 0u);

  stick_files().run("mdeltree", {"::/SUB"});
  stick_files().run("mattrib", {"-r", "::/LOCKED.TXT"});
  stick_files().run("mdel", {"::/LOCKED.TXT"});
  Folder(copy.string()).copy("E:\\");
  EXPECT_EQ(stick_files().attributes("LOCKED.TXT"), emulation::kDosReadOnly);
  EXPECT_EQ(stick_files().attributes("SUB/SECRET.DAT"),
            emulation::kDosHidden | emulation::kDosSystem);
  Folder(copy.string()).remove();
  EXPECT_FALSE(std::filesystem::exists(copy));
}

} // namespace
} // namespace corvantix
