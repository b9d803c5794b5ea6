// The program on a terminal: help and version without a display, the
// unattended run (--yes) on image files, drive letters and block devices,
// the question asked when there is no display, and the refusals that say
// why nothing was done. The program is started through app_main with a
// terminal whose streams the test holds.
#include "app/startup.h"
#include "app/terminal.h"
#include "disk/formatter.h"
#include "platform/system.h"
#include "platform/host/machine/host_tools.h"
#include "platform/host/machine/linux_disks.h"
#include "strings/res.h"
#include "unit/scripted_toolkit.h"
#include "unit/test_terminal.h"

#include "emulated_machine.h"
#include "loop_device.h"
#include "stick_files.h"
#include "whole_run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <functional>
#include <regex>

namespace corvantix {
namespace {

namespace fs = std::filesystem;
using test::StickFiles;
using test::TestTerminal;
using test::terminal_lines;
using test::WholeRun;

std::string project_version() {
  std::ifstream in(fs::path(CORVANTIX_SOURCE_DIR) / "CMakeLists.txt");
  std::string text((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  std::smatch found;
  std::regex project(R"(project\(Corvantix VERSION ([0-9.]+))");
  return std::regex_search(text, found, project) ? found[1].str() : "";
}

class OnTerminal : public WholeRun {
protected:
  void TearDown() override {
    setenv("CORVANTIX_MACHINE", "demo", 1);
    WholeRun::TearDown();
  }

  int start(const std::vector<std::string> &args) {
    return app_main(args, toolkit, terminal);
  }

  /// Nothing was shown in a window, nor asked in a box.
  void expect_no_windows() {
    EXPECT_TRUE(toolkit.mains.empty());
    EXPECT_TRUE(toolkit.abouts.empty());
    EXPECT_TRUE(toolkit.boxes.empty());
  }

  /// A stick from the shop with the user's files, and no machine on it.
  void shop_stick(std::uint64_t size = 64 << 20) {
    make_stick(size);
    emulation::Machine::install(nullptr);
  }

  TestTerminal terminal;
};

// --- help and version ------------------------------------------------------

TEST_F(OnTerminal, HelpWithoutADisplayPrintsEveryOptionOnALineOfItsOwn) {
  EXPECT_EQ(start({"--help"}), 0);
  std::vector<std::string> lines = terminal_lines(terminal.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "Usage: corvantix [options] [drive letter]");
  // The other forms of an option share its line.
  for (const std::string forms :
       {"-h, --help", "--version, -v", "-f, --force, --nobackup, --no-backup",
        "-k, --keep, -b, --backup", "--noformat, --no-format",
        "--nofdos, --no-fdos, --no-free-dos, --nofreedos",
        "--notxt, --no-txt, --nodrivetxt, --no-drive-txt",
        "-l, --lang, --language, -t, --text, --string",
        "-c, --copy, -d, --dir, --directory", "-1, --single, -s", "-y, --yes",
        "--size"}) {
    auto on_line = [&](const std::string &line) {
      return line == "  " + forms || line.starts_with("  " + forms + " ");
    };
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), on_line), 1)
        << forms << "\n"
        << terminal.out;
  }
  for (const char *parameter : {"KEY=VALUE", "FOLDER", "--size SIZE",
                                "read from the program's folder"})
    EXPECT_NE(terminal.out.find(parameter), std::string::npos) << parameter;
  for (const std::string &line : lines)
    EXPECT_LE(line.size(), 80u) << line;
  EXPECT_EQ(terminal.err, "");
  expect_no_windows();
}

TEST_F(OnTerminal, VersionWithoutADisplayPrintsTheProjectVersion) {
  std::string version = project_version();
  ASSERT_FALSE(version.empty());
  EXPECT_EQ(start({"--version"}), 0);
  EXPECT_EQ(terminal.out, "Corvantix " + version + "\n");
  expect_no_windows();
}

TEST_F(OnTerminal, WithADisplayHelpAndVersionStayTheDocumentationWindow) {
  terminal.windows_shown = true;
  for (const char *form : {"--help", "--version"}) {
    toolkit.script = [](test::ScriptedToolkit &) {};
    EXPECT_EQ(start({form}), 0);
  }
  EXPECT_EQ(toolkit.abouts.size(), 2u);
  EXPECT_EQ(terminal.out, "");
}

// --- unattended runs on image files ----------------------------------------

TEST_F(OnTerminal, YesPreparesAnImageAndKeepsTheFiles) {
  // With a display too, --yes runs without a window.
  for (bool display : {false, true}) {
    SCOPED_TRACE(display ? "with a display" : "without a display");
    shop_stick();
    fs::remove("drive.txt");
    terminal.err.clear();
    terminal.windows_shown = display;
    EXPECT_EQ(start({"--yes", image.string()}), 0) << terminal.err;
    EXPECT_EQ(terminal_lines(terminal.err),
              (std::vector<std::string>{
                  "creating backup...", "Formating...", "Installing FreeDOS...",
                  "restoring backup...", "Done!",
                  "corvantix: Format Successful!"}));
    EXPECT_FALSE(fs::exists("drive.txt")) << "an image has no letter to tell";
    EXPECT_TRUE(files().exists("KERNEL.SYS"));
    EXPECT_TRUE(files().exists("COMMAND.COM"));
    EXPECT_EQ(files().read("NOTES.TXT"), "my notes\r\n");
  }
  EXPECT_EQ(terminal.reads, 0) << "nothing is asked";
  expect_no_windows();
}

TEST_F(OnTerminal, TheShortFormAndTheOptionsAreThoseOfSingleDriveMode) {
  shop_stick();
  fs::path extra = folder_.path() / "extra";
  fs::create_directories(extra);
  std::ofstream(extra / "GAME.EXE") << "game";
  EXPECT_EQ(start({"-f", "--notxt", "-c", extra.string(), "-t",
                   "STEP_DONE=Fertig.", "-y", image.string()}),
            0)
      << terminal.err;
  EXPECT_EQ(terminal_lines(terminal.err),
            (std::vector<std::string>{"Formating...", "Installing FreeDOS...",
                                      "Copying files...", "Fertig.",
                                      "corvantix: Format Successful!"}));
  EXPECT_FALSE(fs::exists("drive.txt"));
  EXPECT_EQ(files().read("GAME.EXE"), "game");
  EXPECT_FALSE(files().exists("NOTES.TXT")) << "no backup was made";
}

TEST_F(OnTerminal, AFailedRunEndsWithOneAndItsMessageOnTheErrorStream) {
  shop_stick();
  // The user's folder KERNEL.SYS cannot come back beside FreeDOS' file.
  files().put("KERNEL.SYS/MINE.TXT", "mine\r\n");
  emulation::Machine::install(nullptr);
  EXPECT_EQ(start({"--yes", image.string()}), 1);
  std::vector<std::string> lines = terminal_lines(terminal.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines.back().starts_with("corvantix: Could not restore backup"))
      << terminal.err;
  EXPECT_FALSE(fs::exists("drive.txt"));
  expect_no_windows();
}

// Its lines, drive.txt and that nothing is backed up: unattended.test.sh.
TEST_F(OnTerminal, SizeMakesANewSparseImageThatIsPrepared) {
  fs::path made = folder_.path() / "new.img";
  EXPECT_EQ(start({"--yes", "--size", "64M", made.string()}), 0)
      << terminal.err;
  EXPECT_EQ(fs::file_size(made), 64u << 20);
  // The prepared disk has its partition at LBA 32.
  StickFiles prepared(made, 32 * 512);
  EXPECT_TRUE(prepared.exists("KERNEL.SYS"));
  EXPECT_TRUE(prepared.exists("AUTOEXEC.BAT"));
  // Sparse: a blank image of 64 MiB holds little more than what was written.
  struct stat status {};
  ASSERT_EQ(::stat(made.c_str(), &status), 0);
  EXPECT_LT(std::uint64_t(status.st_blocks) * 512, 16u << 20);
}

TEST_F(OnTerminal, SizeLeavesAnImageThatExistsAsItIs) {
  shop_stick();
  EXPECT_EQ(start({"--yes", "--size", "128M", image.string()}), 0);
  EXPECT_EQ(fs::file_size(image), 64u << 20);
  EXPECT_EQ(files().read("NOTES.TXT"), "my notes\r\n") << "backed up";
}

// Every message of a refused run: the program's name first, a hint after
// an argument error, exit code 1, and nothing made or changed.
TEST_F(OnTerminal, WhatCannotBeRunIsRefusedWithTheReasonAsALine) {
  const std::string folder = folder_.path().string();
  const std::string made = (folder_.path() / "new.img").string();
  const std::string program = platform::program_folder();
  const std::string neither = " is neither an image file nor a block device. "
                              "Nothing was changed on it.";
  std::ofstream("tiny.img") << std::string(512, '\0');
  std::ofstream("notes.txt") << "notes";
  const std::string usage = "\nTry 'corvantix --help'.";
  struct Case {
    std::vector<std::string> args;
    std::string message; // after "corvantix: "
    bool display = false;
  } cases[] = {
      {{"--bogus"}, "Invalid argument '--bogus'!" + usage},
      {{"--yes"},
       "Argument '--yes' needs the drive to prepare as the last argument: a "
       "drive letter, or on Linux an image file or a USB disk's block "
       "device." + usage},
      {{"--yes", "missing.img"},
       "missing.img does not exist. To make a new image, give its size with "
       "--size SIZE, such as --size 256M."},
      {{"--yes", folder}, folder + neither},
      {{"--yes", "/dev/null"}, "/dev/null" + neither},
      // A file too small for FAT32 is no stick, whatever made it.
      {{"--yes", "tiny.img"},
       "tiny.img holds 512 bytes, and FAT32 needs at least " +
           std::to_string(MinimumFat32DiskSize()) +
           ". Nothing was changed on it."},
      // Sizes the argument tests do not try: an option's form, an overflow,
      // and one too small for FAT32.
      {{"--yes", "--size", "-1", "new.img"},
       "Argument '--size' got an invalid parameter '-1'!" + usage},
      {{"--yes", "--size", "99999999999999999T", "new.img"},
       "Argument '--size' got an invalid parameter '99999999999999999T'!" +
           usage},
      {{"--yes", "--size", "512", "new.img"},
       "Argument '--size' got '512', which is too small for FAT32: the "
       "smallest image is 33M." + usage},
      {{"--yes", "--size"}, "Argument '--size' requires a parameter." + usage},
      // Copy folders are read before anything is made.
      {{"--yes", "--size", "64M", "-c", "no-such", made},
       "The folder to copy 'no-such' cannot be read at '" + program +
           "/no-such': The system cannot find the file specified. Nothing "
           "was changed. A relative folder is read from the program's "
           "folder, '" + program + "'."},
      {{"--yes", "--size", "64M", "-c", folder + "/cwd/notes.txt", made},
       "The folder to copy '" + folder + "/cwd/notes.txt' cannot be read at '" +
           folder + "/cwd/notes.txt': The directory name is invalid. Nothing "
           "was changed."},
      // Nothing is made without a way to ask.
      {{"--size", "64M", made},
       "There is no display for the window and no terminal to ask on, so "
       "nothing was changed. Add --yes to prepare " +
           made + " without asking."},
      // With a display, the argument errors of an unattended run.
      {{"-x", "--yes", "E"}, "Invalid argument '-x'!" + usage, true},
      {{"--yes", "--size", "1x", "E"},
       "Argument '--size' got an invalid parameter '1x'!" + usage, true},
  };
  for (const Case &c : cases) {
    terminal.err.clear();
    terminal.windows_shown = c.display;
    EXPECT_EQ(start(c.args), 1) << c.message;
    EXPECT_EQ(terminal.err, "corvantix: " + c.message + "\n");
  }
  for (const std::string left : {"missing.img", "new.img", "drive.txt"})
    EXPECT_FALSE(fs::exists(left)) << left;
  EXPECT_EQ(fs::file_size("tiny.img"), 512u);
  EXPECT_FALSE(fs::exists(made)) << "no image is made";
  EXPECT_EQ(terminal.reads, 0);
  expect_no_windows();
}

// What a run meets after its checks: each a message, and its exit code.
TEST_F(OnTerminal, TheOutcomesOfRunsAreMessagesWithTheirExitCodes) {
  const fs::path made = folder_.path() / "new.img";
  const fs::path odd = folder_.path() / "odd";
  fs::create_directories(odd);
  std::ofstream(odd / "what?.txt") << "FAT takes no such name";
  struct Case {
    std::function<void()> setup;
    std::vector<std::string> args;
    int exit;
    std::string last;      // the last line, after "corvantix: "
    bool image_stays;      // new.img after the run
  } cases[] = {
      // A new image whose run fails goes, and is named as it was given.
      {[] {}, {"--yes", "--size", "64M", "-c", odd.string(), made.string()},
       1, made.string() + " could not be made whole, so it was removed.",
       false},
      // drive.txt that cannot be written is named, and fails the run.
      {[this] {
         make_stick(64 << 20);
         fs::create_directories("drive.txt");
       },
       {"--yes", "E"}, 1,
       "The letter of the prepared drive could not be written to '" +
           (fs::current_path() / "drive.txt").string() + "': Access is denied.",
       false},
      // A new image beyond 2 TiB: the person learns before answering.
      {[] {}, {"--size", "3T", made.string()}, 1, "Nothing was changed.", false},
  };
  terminal.typing = true;
  for (Case &c : cases) {
    SCOPED_TRACE(c.last);
    c.setup();
    terminal.err.clear();
    terminal.typed = {"n"};
    EXPECT_EQ(start(c.args), c.exit) << terminal.err;
    std::vector<std::string> lines = terminal_lines(terminal.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().substr(lines.back().rfind("corvantix: ")),
              "corvantix: " + c.last);
    EXPECT_EQ(fs::exists(made), c.image_stays);
    fs::remove_all("drive.txt");
  }
  EXPECT_NE(terminal.err.find("corvantix: Only the first 2 TiB of " +
                              made.string() + " are used"),
            std::string::npos)
      << terminal.err;
}

TEST_F(OnTerminal, TheRightsMessageQuotesArgumentsForTheShell) {
  if (::geteuid() == 0)
    GTEST_SKIP() << "root may write every file";
  fs::create_directories(folder_.path() / "locked");
  fs::permissions(folder_.path() / "locked", fs::perms::owner_read |
                                                 fs::perms::owner_exec);
  std::string target = (folder_.path() / "locked" / "my stick.img").string();
  EXPECT_EQ(start({"--yes", "--size", "64M", target}), 1);
  EXPECT_NE(terminal.err.find("sudo corvantix --yes --size 64M '" + target + "'"),
            std::string::npos)
      << terminal.err;
  fs::permissions(folder_.path() / "locked", fs::perms::owner_all);
}

// --- drive letters -----------------------------------------------------------

TEST_F(OnTerminal, YesPreparesADriveLetterOfTheMachine) {
  make_stick(64 << 20);
  EXPECT_EQ(start({"--yes", "e"}), 0) << terminal.err;
  EXPECT_EQ(terminal_lines(terminal.err).back(),
            "corvantix: Format Successful!");
  EXPECT_EQ(drive_txt(), "E");
  EXPECT_TRUE(files().exists("KERNEL.SYS"));
  EXPECT_EQ(files().read("NOTES.TXT"), "my notes\r\n");

  terminal.err.clear();
  EXPECT_EQ(start({"--yes", "F"}), 1);
  EXPECT_EQ(terminal.err, "corvantix: F:\\ is not a USB drive.\n");
  expect_no_windows();
}

TEST_F(OnTerminal, AMachineWithoutDisksOrThatCannotBeMadeIsALine) {
  const std::string broken = (folder_.path() / "machine.txt").string();
  std::ofstream(broken) << "disk\n";
  // No disk at all, or none on USB: the same line as on Windows.
  const std::string empty = (folder_.path() / "empty.txt").string();
  std::ofstream(empty) << "# no disks\n";
  const std::string ide = (folder_.path() / "ide.txt").string();
  std::ofstream(ide) << "disk " << (folder_.path() / "ide.img").string()
                     << " size=64M letter=E interface=IDE\n";
  const std::string no_usb =
      "No USB disk was found. Plug in the stick and try again.";
  struct Case {
    std::string machine, message;
  } cases[] = {
      {"usb", no_usb},
      {empty, no_usb},
      {ide, no_usb},
      {broken, broken + ":1: expected: disk <image> [key=value ...]"},
  };
  for (const Case &c : cases) {
    if (c.machine == "usb" && !emulation::find_usb_disks().empty())
      continue; // this machine has USB disks
    emulation::Machine::install(nullptr);
    setenv("CORVANTIX_MACHINE", c.machine.c_str(), 1);
    terminal.err.clear();
    EXPECT_EQ(start({"--yes", "E"}), 1);
    EXPECT_EQ(terminal.err, "corvantix: " + c.message + "\n");
  }
  expect_no_windows();
}

// --- block devices -----------------------------------------------------------

TEST_F(OnTerminal, ABlockDeviceThatIsNoUsbDiskIsRefusedUntouched) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "loop devices need root";
  shop_stick(32 << 20);
  std::string before = test::slurp(image);
  test::LoopDevice loop(image);
  if (!loop.ok())
    GTEST_SKIP() << "no loop device: " << loop.error();
  EXPECT_EQ(start({"--yes", "--nobackup", loop.node()}), 1);
  EXPECT_EQ(terminal.err, "corvantix: " + loop.node() +
                              " is not a USB disk, and only USB disks are "
                              "prepared. Nothing was changed on it.\n");
  EXPECT_EQ(test::slurp(image), before);
  EXPECT_FALSE(fs::exists("drive.txt"));
  expect_no_windows();
}

// --- without a display and without --yes -----------------------------------

TEST_F(OnTerminal, WithoutADisplayATargetIsPreparedAfterYes) {
  shop_stick();
  terminal.typing = true;
  terminal.typed = {" Yes "};
  EXPECT_EQ(start({image.string()}), 0) << terminal.err;
  EXPECT_TRUE(terminal.err.starts_with("corvantix: Erase all data on " +
                                       image.string() +
                                       " (Corvantix Virtual Stick, 64 MB)? "
                                       "[y/N] creating backup...\n"))
      << terminal.err;
  EXPECT_EQ(terminal_lines(terminal.err).back(),
            "corvantix: Format Successful!");
  EXPECT_TRUE(files().exists("KERNEL.SYS"));
  EXPECT_FALSE(fs::exists("drive.txt"));

  // A drive letter, in single-drive form.
  make_stick(64 << 20);
  terminal.err.clear();
  terminal.typed = {"y"};
  EXPECT_EQ(start({"-s", "E"}), 0) << terminal.err;
  EXPECT_TRUE(terminal.err.starts_with(
      "corvantix: Erase all data on E (Corvantix stick, 64 MB)? [y/N] "))
      << terminal.err;
  EXPECT_EQ(drive_txt(), "E");
  expect_no_windows();
}

TEST_F(OnTerminal, WithoutADisplayAnythingButYesChangesNothing) {
  shop_stick();
  std::string before = test::slurp(image);
  terminal.typing = true;
  for (std::string answer : {"n", "", "ja", "yess"}) {
    terminal.err.clear();
    terminal.typed = {answer};
    EXPECT_EQ(start({image.string()}), 1) << answer;
    EXPECT_TRUE(
        terminal.err.ends_with("[y/N] corvantix: Nothing was changed.\n"))
        << terminal.err;
  }
  terminal.err.clear();
  EXPECT_EQ(start({image.string()}), 1) << "input ends";
  EXPECT_TRUE(
      terminal.err.ends_with("[y/N] \ncorvantix: Nothing was changed.\n"));
  EXPECT_EQ(test::slurp(image), before);
  EXPECT_FALSE(fs::exists("drive.txt"));

  // A new image is taken back.
  fs::path made = folder_.path() / "new.img";
  terminal.err.clear();
  terminal.typed = {"no"};
  EXPECT_EQ(start({"--size", "64M", made.string()}), 1);
  EXPECT_EQ(terminal.err, "corvantix: Erase all data on " + made.string() +
                              " (Corvantix Virtual Stick, 64 MB)? [y/N] "
                              "corvantix: Nothing was changed.\n");
  EXPECT_FALSE(fs::exists(made));
  expect_no_windows();
}

TEST_F(OnTerminal, WithoutAWindowTheWindowModesAreALineNamingYes) {
  const std::string yes = "run: corvantix --yes [options] TARGET...\n";
  struct Case {
    std::vector<std::string> args;
    ArgumentError without;
    std::string line;
  } cases[] = {
      {{}, {"ARGS_NO_DISPLAY", {}}, "The window needs a display; without one, " + yes},
      {{"-f", "-1"}, {"ARGS_NO_WINDOW", {"corvantix-gtk"}},
       "The window needs the package corvantix-gtk; without it, " + yes},
      {{"-k"}, {"ARGS_WINDOW_LOAD", {"x.so: file too short"}},
       "The window cannot be loaded (x.so: file too short); without it, " + yes},
  };
  for (const Case &c : cases) {
    terminal.err.clear();
    terminal.no_windows = c.without;
    EXPECT_EQ(start(c.args), 1) << c.line;
    EXPECT_EQ(terminal.err, "corvantix: " + c.line);
  }
  expect_no_windows();
}

TEST_F(OnTerminal, OnATerminalTheStepsAreABar) {
  shop_stick();
  terminal.error_on_screen = true;
  EXPECT_EQ(start({"--yes", "--nobackup", image.string()}), 0);
  // Each step's beginning is drawn; a slow step is drawn again as it
  // moves, never backwards.
  std::vector<std::string> frames;
  for (std::size_t at = terminal.err.find('\r'); at != std::string::npos;) {
    std::size_t next = terminal.err.find('\r', at + 1);
    frames.push_back(terminal.err.substr(at + 1, next == std::string::npos
                                                      ? std::string::npos
                                                      : next - at - 1));
    at = next;
  }
  ASSERT_GE(frames.size(), 3u) << terminal.err;
  EXPECT_EQ(frames.front(), "[######              ]  33% Formating...");
  EXPECT_NE(std::find(frames.begin(), frames.end(),
                      "[#############       ]  67% Installing FreeDOS..."),
            frames.end())
      << terminal.err;
  EXPECT_EQ(frames.back(), "[####################] 100% Done!                "
                           "\ncorvantix: Format Successful!\n");
  for (std::size_t i = 1; i < frames.size(); ++i)
    EXPECT_GE(frames[i].substr(22, 4), frames[i - 1].substr(22, 4)) << terminal.err;
}

// --- the window stays as it was ------------------------------------------------

TEST_F(OnTerminal, WithADisplayAPathWithoutYesIsStillAnInvalidArgument) {
  terminal.windows_shown = true;
  EXPECT_EQ(start({"stick.img"}), 1);
  ASSERT_EQ(toolkit.boxes.size(), 1u);
  EXPECT_EQ(toolkit.boxes[0].text, "Invalid argument 'stick.img'!");
  EXPECT_EQ(terminal.err, "");
}

TEST_F(OnTerminal, WithADisplaySingleDriveModeIsTheWindow) {
  make_stick(64 << 20);
  terminal.windows_shown = true;
  toolkit.script = [](test::ScriptedToolkit &t) {
    t.main().answers = {true};
    ASSERT_TRUE(t.main().click(Control::btnFormat));
    t.pump();
  };
  EXPECT_EQ(start({"-s", "E"}), 0);
  EXPECT_EQ(toolkit.mains.size(), 1u);
  EXPECT_EQ(drive_txt(), "E");
  EXPECT_EQ(results(), std::vector<std::string>{"Format Successful!"});
  EXPECT_EQ(terminal.err, "");
  EXPECT_EQ(terminal.out, "");
}

} // namespace
} // namespace corvantix
