// Whole runs of the program on the emulated machine, as a person makes
// them: Format, Yes, then the result box, the exit code and drive.txt. A run
// ends with every one of the user's files on the stick or in the backup
// folder that its message names, and shows success only when what it wrote
// is in the image.
#include "app/startup.h"
#include "platform/filesystem.h"
#include "platform/host/win32/dos_attributes.h"
#include "platform/host/machine/host_tools.h"
#include "strings/res.h"
#include "unit/scripted_toolkit.h"

#include "emulated_machine.h"
#include "loop_device.h"
#include "stick_files.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>

namespace corvantix {
namespace {

using test::StickFiles;
using test::TreeState;
namespace fs = std::filesystem;

class WholeRun : public test::EmulatedMachineTest {
protected:
  void SetUp() override {
    EmulatedMachineTest::SetUp();
    setenv("LC_ALL", "C", 1);
    temp = folder_.path() / "temp";
    fs::create_directories(temp);
    fs::create_directories(folder_.path() / "cwd");
    previous_ = fs::current_path();
    fs::current_path(folder_.path() / "cwd");
    setenv("TMPDIR", temp.c_str(), 1);
    image = folder_.path() / "stick.img";
  }

  void TearDown() override {
    fs::current_path(previous_);
    unsetenv("TMPDIR");
    unsetenv("LC_ALL");
    emulation::refuse_user_xattrs(false);
    Res::init_for("en-US");
    EmulatedMachineTest::TearDown();
  }

  /// A shop stick of `size` bytes, its file system made again with
  /// 512-byte clusters and a single FAT when `small_clusters`, and the
  /// user's files on it.
  void make_stick(std::uint64_t size, bool small_clusters = false) {
    emulation::DiskConfig config =
        stick("stick", 'E', emulation::NodeBehaviour::Normal, size, true);
    install({config});
    if (small_clusters) {
      emulation::Machine::install(nullptr);
      auto made = emulation::run_tool(
          {"mkfs.fat", "-F", "32", "-s", "1", "-f", "1", "--offset", "2048",
           "--mbr=n", image.string()});
      ASSERT_TRUE(made.ok()) << made.err;
      install({config});
    }
    files().put("NOTES.TXT", "my notes\r\n");
    files().put("SECRET.DAT", "hidden and read-only",
                emulation::kDosHidden | emulation::kDosReadOnly);
    files().put("GAMES/SAVE/SYSTEM.BIN", "system file", emulation::kDosSystem);
  }

  /// The file system of the image's first partition, wherever the last
  /// format put it.
  StickFiles files() const {
    unsigned char mbr[512] = {};
    std::ifstream(image, std::ios::binary)
        .read(reinterpret_cast<char *>(mbr), sizeof mbr);
    std::uint32_t start;
    std::memcpy(&start, mbr + 446 + 8, 4);
    return StickFiles(image, std::uint64_t(start) * 512);
  }

  /// Starts the program with `args`; the person presses Format and says Yes
  /// to the question.
  int run(const std::vector<std::string> &args) {
    toolkit.script = [](test::ScriptedToolkit &t) {
      t.main().answers = {true};
      ASSERT_TRUE(t.main().click(Control::btnFormat));
      t.pump();
    };
    return app_main(args, toolkit);
  }

  /// The texts of the message boxes after the question, in order.
  std::vector<std::string> results() {
    std::vector<std::string> texts;
    for (const auto &main : toolkit.mains)
      for (const auto &box : main->boxes)
        if (!box.yes_no)
          texts.push_back(box.text);
    for (const auto &box : toolkit.boxes)
      texts.push_back(box.text);
    return texts;
  }

  std::string drive_txt() { return test::slurp("drive.txt"); }

  std::vector<fs::path> backups() {
    std::vector<fs::path> found;
    if (fs::exists(temp / "Corvantix"))
      for (const auto &entry : fs::directory_iterator(temp / "Corvantix"))
        found.push_back(entry.path());
    return found;
  }

  /// Every file of `before` is on the stick or in `backup`, unchanged.
  void expect_kept(const TreeState &before, const fs::path &backup) {
    TreeState stick = files().state();
    TreeState saved = backup.empty() ? TreeState{} : test::tree_state(backup);
    for (const auto &[path, state] : before) {
      bool on_stick = stick.count(path) && stick.at(path) == state;
      bool in_backup = saved.count(path) && saved.at(path) == state;
      EXPECT_TRUE(on_stick || in_backup) << path << " is lost";
    }
  }

  /// The run failed at the restore: its one message names the one backup
  /// folder, which holds the whole of `before`, and no drive.txt is left.
  void expect_restore_failed(const TreeState &before) {
    ASSERT_EQ(backups().size(), 1u);
    EXPECT_EQ(results(), std::vector<std::string>{
                             "Could not restore backup from '" +
                             backups()[0].string() +
                             "'! The files will be left there for you to "
                             "restore manually."});
    EXPECT_EQ(drive_txt(), "") << "no success, no drive.txt";
    EXPECT_EQ(test::tree_state(backups()[0]), before) << "the whole backup";
  }

  test::ScriptedToolkit toolkit;
  fs::path temp, image;

private:
  fs::path previous_;
};

// A stick with 512-byte clusters and a single FAT, nearly full. The new
// file system keeps two FATs and takes the FreeDOS files: the user's files
// no longer fit, so the restore fails and names the backup that keeps them.
TEST_F(WholeRun, FilesThatNoLongerFitStayInTheNamedBackup) {
  make_stick(192 << 20, true);
  std::string listing = files().run("mdir", {"::/"}).out;
  std::size_t free_at = listing.rfind("bytes free");
  std::string digits;
  for (std::size_t i = listing.rfind('\n', free_at) + 1; i < free_at; ++i)
    if (std::isdigit(static_cast<unsigned char>(listing[i])))
      digits += listing[i];
  ASSERT_FALSE(digits.empty()) << listing;
  fs::path large = folder_.path() / "LARGE.BIN";
  std::ofstream(large) << "large";
  fs::resize_file(large, std::stoull(digits) - (64 << 10));
  ASSERT_TRUE(files().run("mcopy", {"-m", large.string(), "::/LARGE.BIN"}).ok());
  fs::remove(large);
  TreeState before = files().state();

  EXPECT_EQ(run({"-s", "E"}), 0);
  expect_restore_failed(before);
  if (HasFatalFailure())
    return;
  expect_kept(before, backups()[0]);
  EXPECT_TRUE(files().exists("KERNEL.SYS"));

  // Everything the program left in the shared temporary folder is the
  // user's alone.
  for (const auto &entry : fs::recursive_directory_iterator(temp)) {
    struct stat info {};
    ASSERT_EQ(lstat(entry.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 077, 0u) << entry.path();
  }
}

TEST_F(WholeRun, ACopyFolderTooBigForTheStickFailsAndNamesIt) {
  make_stick(40 << 20);
  TreeState before = files().state();
  fs::path extra = folder_.path() / "extra";
  fs::create_directories(extra);
  std::ofstream(extra / "HUGE.BIN") << std::string(48 << 20, 'h');

  EXPECT_EQ(run({"-s", "E", "-c", extra.string()}), 0);
  EXPECT_EQ(results(), std::vector<std::string>{
                           "Could not copy the files from '" + extra.string() +
                           "' to the device."});
  EXPECT_EQ(drive_txt(), "");
  EXPECT_FALSE(files().exists("HUGE.BIN")) << "no partial file";
  expect_kept(before, {});
  EXPECT_TRUE(files().exists("COMMAND.COM"));
}

TEST_F(WholeRun, UnicodeNamesComeBackAsTheyWere) {
  const std::map<std::string, std::string> named = {
      {"Müller.txt", "m"}, {"Größe.txt", "g"}, {"日本語.txt", "j"},
      {"café.txt", "acute"}, {"cafè.txt", "grave"}};
  for (bool keep : {true, false}) {
    SCOPED_TRACE(keep ? "default run" : "--noformat --nobackup");
    emulation::Machine::install(nullptr);
    fs::remove(image);
    fs::remove("drive.txt");
    make_stick(40 << 20);
    for (const auto &[name, bytes] : named)
      files().put(name, bytes);
    TreeState before = files().state();
    toolkit.mains.clear();
    toolkit.boxes.clear();
    if (keep)
      EXPECT_EQ(run({"-s", "E"}), 0);
    else
      EXPECT_EQ(run({"-s", "E", "--noformat", "--nobackup"}), 0);
    EXPECT_EQ(results(), std::vector<std::string>{"Format Successful!"});
    EXPECT_EQ(drive_txt(), "E");
    for (const auto &[name, bytes] : named)
      EXPECT_EQ(files().read(name), bytes) << name;
    std::string listing = files().listing();
    for (const char *name : {"Müller.txt", "Größe.txt", "日本語.txt"})
      EXPECT_NE(listing.find(std::string("  ") + name + "\n"), std::string::npos)
          << name << " in\n" << listing;
    EXPECT_NE(listing.find("café     txt"), std::string::npos) << listing;
    EXPECT_NE(listing.find("cafè     txt"), std::string::npos) << listing;
    expect_kept(before, {});
  }
}

// A kill -9 while "Format Successful!" is shown: the stick holds the files,
// since nothing is kept anywhere else to be written later.
TEST_F(WholeRun, AKillWhileSuccessIsShownLeavesTheFilesOnTheStick) {
  make_stick(40 << 20);
  TreeState before = files().state();
  emulation::Machine::install(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    install({stick("stick", 'E', emulation::NodeBehaviour::Normal, 40 << 20,
                   true)});
    run({"-s", "E"});
    bool shown = results() == std::vector<std::string>{"Format Successful!"};
    std::fflush(nullptr);
    if (shown)
      kill(getpid(), SIGKILL);
    _exit(3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
      << "the run did not show success";
  EXPECT_EQ(drive_txt(), "E");
  TreeState after = files().state();
  for (const auto &[path, state] : before)
    EXPECT_TRUE(after.count(path) && after.at(path) == state) << path;
  EXPECT_TRUE(after.count("KERNEL.SYS"));
  EXPECT_TRUE(after.count("COMMAND.COM"));
}

// The stick is pulled out while its files are being put back: a loop
// device stands in for it and goes away (detached, its file emptied, its
// size read again) as the restore's mcopy ends, before its writes are
// flushed. Linux then drops those writes and fdatasync reports nothing, so
// this is the last moment at which the run could show success on a stick
// that is gone; it must fail the restore with the system's message and
// name the backup that holds every file. The user's files carry no DOS
// attributes, so that mcopy is the run's last call on the stick. Loop
// devices need root; without them the test says why it skips.
TEST_F(WholeRun, AStickPulledOutDuringTheRestoreFailsAndNamesTheBackup) {
  if (geteuid() != 0 || access("/dev/loop-control", R_OK | W_OK) != 0)
    GTEST_SKIP() << "loop devices need root and /dev/loop-control";
  install({stick("stick", 'E', emulation::NodeBehaviour::Normal, 64 << 20,
                 true)});
  files().put("Docs/Überblick/data.bin", std::string(300000, 'u'));
  files().put("NOTES.TXT", "my notes\r\n");
  TreeState before = files().state();
  emulation::Machine::install(nullptr);
  test::LoopDevice device(image);
  if (!device.ok())
    GTEST_SKIP() << "no loop device could be attached: " << device.error();
  const std::string &loop = device.node();
  emulation::run_tool({"partx", "-a", loop});

  // mcopy, as the program finds it on PATH: a copy from the backup folder
  // onto the stick pulls the stick once it is done.
  fs::path bin = folder_.path() / "bin", pulled = folder_.path() / "pulled";
  fs::create_directories(bin);
  std::string path = std::getenv("PATH");
  std::ofstream(bin / "mcopy")
      << "#!/bin/sh\n"
         "PATH='" << path << "' mcopy \"$@\"\n"
         "status=$?\n"
         "case \"$*\" in *'" << (temp / "Corvantix").string() << "'*' ::/'*)\n"
         "  losetup -d " << loop << "; truncate -s 0 '" << image.string()
      << "'; losetup -c " << loop << "; touch '" << pulled.string() << "';;\n"
         "esac\n"
         "exit $status\n";
  fs::permissions(bin / "mcopy", fs::perms::owner_all);
  setenv("PATH", (bin.string() + ":" + path).c_str(), 1);

  emulation::DiskConfig config;
  config.image = loop;
  config.block_device = true;
  config.letter = 'E';
  config.model = "Loop Stick";
  install({config});
  run({"-s", "E"});
  setenv("PATH", path.c_str(), 1);
  // What the failure carries as its cause: the system's message.
  try {
    platform::native_file_system().folder_empty("E:\\");
    ADD_FAILURE() << "a pulled stick's volume is still read";
  } catch (const platform::FileError &e) {
    EXPECT_EQ(e.code(), 1167u) << e.what(); // ERROR_DEVICE_NOT_CONNECTED
  }
  emulation::Machine::install(nullptr);

  ASSERT_TRUE(fs::exists(pulled)) << "the restore never ran";
  expect_restore_failed(before);
}

// Another instance holds the stick: this one says so and leaves it alone.
TEST_F(WholeRun, ASecondInstanceFindsTheStickInUse) {
  make_stick(40 << 20);
  TreeState before = files().state();
  emulation::Machine::install(nullptr);
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t first = fork();
  ASSERT_GE(first, 0);
  if (first == 0) {
    emulation::Machine machine(
        {stick("stick", 'E', emulation::NodeBehaviour::Normal, 40 << 20, true)},
        folder_.path() / "first");
    char byte = machine.disks()[0].in_use ? 'n' : 'y';
    (void)!::write(ready[1], &byte, 1);
    (void)!::read(done[0], &byte, 1);
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'y') << "the first instance did not get the stick";

  install({stick("stick", 'E', emulation::NodeBehaviour::Normal, 40 << 20,
                 true)});
  EXPECT_EQ(run({"-s", "E"}), 0);
  EXPECT_EQ(results(), std::vector<std::string>{
                           "The drive E:\\ is in use by another program. "
                           "Close it and try again."});
  EXPECT_EQ(drive_txt(), "");
  EXPECT_TRUE(backups().empty());

  (void)!::write(done[1], &byte, 1);
  waitpid(first, nullptr, 0);
  for (int fd : {ready[0], ready[1], done[0], done[1]})
    ::close(fd);
  EXPECT_EQ(files().state(), before) << "the stick is untouched";
}

// A temporary folder on a file system without user extended attributes:
// a ramfs when the test may mount one, else the attributes refused.
TEST_F(WholeRun, TheBackupWorksWithoutUserExtendedAttributes) {
  bool ramfs = ::mount("none", temp.c_str(), "ramfs", 0, "mode=0700") == 0;
  if (!ramfs)
    emulation::refuse_user_xattrs(true);
  make_stick(40 << 20);
  TreeState before = files().state();
  EXPECT_EQ(run({"-s", "E"}), 0);
  EXPECT_EQ(results(), std::vector<std::string>{"Format Successful!"});
  EXPECT_EQ(drive_txt(), "E");
  TreeState after = files().state();
  for (const auto &[path, state] : before)
    EXPECT_TRUE(after.count(path) && after.at(path) == state)
        << path << (ramfs ? " (ramfs)" : " (refused)");
  EXPECT_TRUE(backups().empty());
  if (ramfs)
    ::umount(temp.c_str());
}

} // namespace
} // namespace corvantix
