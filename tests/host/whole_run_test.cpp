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
#include "unit/fault_file_system.h"
#include "unit/scripted_toolkit.h"

#include "emulated_machine.h"
#include "loop_device.h"
#include "stick_files.h"
#include "whole_run.h"

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

using test::WholeRun;

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
  expect_restore_failed(before, true);
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
      {"café.txt", "acute"}, {"Çedille.txt", "cedilla"}};
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
    for (const char *name : {"Müller.txt", "Größe.txt", "日本語.txt", "Çedille.txt"})
      EXPECT_NE(listing.find(std::string("  ") + name + "\n"), std::string::npos)
          << name << " in\n" << listing;
    EXPECT_NE(listing.find("café     txt"), std::string::npos) << listing;
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
// size read again) as the restore's copy ends, before its writes are
// flushed. Linux then drops those writes and fdatasync reports nothing, so
// this is the last moment at which the run could show success on a stick
// that is gone; it must fail the restore with the system's message and
// name the backup that holds every file. The user's files carry no DOS
// attributes, so that the copy is the run's last call on the stick. Loop
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

  // The copy from the backup folder onto the stick pulls the stick before
  // its writes are put on the medium.
  fs::path pulled = folder_.path() / "pulled";
  test::FaultFileSystem watched;
  platform::FileSystemOverride through(watched);
  watched.on_call = [&](const std::string &operation, const std::string &path) {
    if (operation != "copy_tree" || path.find("Corvantix") == std::string::npos)
      return;
    emulation::Machine::current().act_on_call("FlushFileBuffers", [&] {
      emulation::run_tool({"losetup", "-d", loop});
      fs::resize_file(image, 0);
      emulation::run_tool({"losetup", "-c", loop});
      std::ofstream{pulled};
    });
  };

  emulation::DiskConfig config;
  config.image = loop;
  config.block_device = true;
  config.letter = 'E';
  config.model = "Loop Stick";
  install({config});
  run({"-s", "E"});
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
