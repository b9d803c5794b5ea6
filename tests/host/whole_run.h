// The fixture of whole runs of the program on the emulated machine, as a
// person makes them: a shop stick with the user's files, the program
// started with arguments, Format and Yes pressed, and what it showed, left
// in the temporary folder and wrote to the stick looked at afterwards.
#pragma once

#include "app/startup.h"
#include "platform/host/win32/dos_attributes.h"
#include "platform/host/machine/host_tools.h"
#include "strings/res.h"
#include "unit/scripted_toolkit.h"

#include "emulated_machine.h"
#include "stick_files.h"

#include <cstring>
#include <fstream>

namespace corvantix::test {

namespace fs = std::filesystem;

class WholeRun : public EmulatedMachineTest {
protected:
  void SetUp() override {
    EmulatedMachineTest::SetUp();
    // Each run starts without the records that runs before it left.
    if (const char *state = std::getenv("XDG_STATE_HOME"); state && *state)
      fs::remove_all(fs::path(state) / "corvantix");
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
    toolkit.script = [](ScriptedToolkit &t) {
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

  std::string drive_txt() { return slurp("drive.txt"); }

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
    TreeState saved = backup.empty() ? TreeState{} : tree_state(backup);
    for (const auto &[path, state] : before) {
      bool on_stick = stick.count(path) && stick.at(path) == state;
      bool in_backup = saved.count(path) && saved.at(path) == state;
      EXPECT_TRUE(on_stick || in_backup) << path << " is lost";
    }
  }

  /// The run failed at the restore: its one message names the one backup
  /// folder, which holds the whole of `before`, and says when the stick is
  /// `full`; no drive.txt is left.
  void expect_restore_failed(const TreeState &before, bool full = false) {
    ASSERT_EQ(backups().size(), 1u);
    EXPECT_EQ(results(), std::vector<std::string>{
                             "Could not restore backup from '" +
                             backups()[0].string() +
                             "'! The files will be left there for you to "
                             "restore manually." +
                             (full ? " The stick E:\\ is full: there is not "
                                     "enough space on it for all of the "
                                     "backup's files."
                                   : "")});
    EXPECT_EQ(drive_txt(), "") << "no success, no drive.txt";
    EXPECT_EQ(tree_state(backups()[0]), before) << "the whole backup";
  }

  ScriptedToolkit toolkit;
  fs::path temp, image;

private:
  fs::path previous_;
};

} // namespace corvantix::test
