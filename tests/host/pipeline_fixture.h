// A preparation on the emulated machine: a small USB stick E: with the
// user's files on it, the temporary folder in a test folder, a recording
// toolkit, and what the run reported.
#pragma once

#include "device/usb_disk.h"
#include "pipeline/process.h"
#include "platform/state.h"
#include "platform/host/win32/dos_attributes.h"
#include "strings/error.h"
#include "strings/res.h"
#include "host/emulated_machine.h"
#include "host/stick_files.h"
#include "unit/fault_file_system.h"
#include "unit/recording_toolkit.h"

#include <chrono>
#include <fstream>
#include <map>

namespace corvantix::test {

struct Report {
  double fraction;
  std::string text;
};

class PipelineTest : public EmulatedMachineTest {
protected:

  void SetUp() override {
    EmulatedMachineTest::SetUp();
    Res::init_for("en-US");
    start_machine();
    faults.temp = (folder_.path() / "temp").string();
    fs::create_directories(faults.temp);
    process.toolkit(&toolkit);
    // Runs of earlier tests in this process are not this test's to finish.
    for (const std::string &record :
         platform::files_ending_in(platform::state_folder(), ".run"))
      platform::remove_file(record);
  }

  void TearDown() override {
    disk.reset();
    EmulatedMachineTest::TearDown();
  }

  /// A machine with one 40 MiB stick as sold, with the user's files added.
  void start_machine(emulation::NodeBehaviour behaviour =
                         emulation::NodeBehaviour::Normal) {
    disk.reset();
    emulation::Machine::install(nullptr);
    fs::remove(folder_.path() / "stick.img");
    install({stick("stick", 'E', behaviour, 40 << 20, true)});
    put("NOTES.TXT", "my notes\r\n");
    put("SECRET.DAT", "hidden and read-only",
        emulation::kDosHidden | emulation::kDosReadOnly);
    put("GAMES/SAVE/SLOT1.SAV", std::string(70000, 'x'));
    put("GAMES/SAVE/SYSTEM.BIN", "system file", emulation::kDosSystem);
    put("CONFIG.SYS", "files=40\r\n");
    stick().mkdir("EMPTY");
    original = stick().state();
    UsbList list;
    list.build();
    disk = list.by_letter('E');
    ASSERT_TRUE(disk);
  }

  using EmulatedMachineTest::stick;
  /// The stick's volume, as mtools sees it.
  StickFiles stick() { return StickFiles::of('E'); }

  /// A file on the stick ('/'-separated path below the root) with these
  /// attributes and a fixed, even time.
  void put(const std::string &path, const std::string &bytes,
           std::uint8_t attributes = emulation::kDosArchive) {
    stick().put(path, bytes, attributes);
  }

  /// Runs the preparation and returns its failure, if any.
  std::exception_ptr run() {
    try {
      process.process(disk, [this](double fraction, const std::string &text) {
        reports.push_back({fraction, text});
        if (on_report)
          on_report(reports.back());
      });
    } catch (...) {
      return std::current_exception();
    }
    return nullptr;
  }

  /// Runs the preparation, which must succeed.
  ::testing::AssertionResult runs() {
    std::exception_ptr failure = run();
    if (!failure)
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << describe_chain(failure);
  }

  /// The backup folders that exist in the temporary folder.
  std::vector<fs::path> backups() {
    std::vector<fs::path> found;
    fs::path parent = fs::path(faults.temp) / "Corvantix";
    if (fs::exists(parent))
      for (const auto &entry : fs::directory_iterator(parent))
        found.push_back(entry.path());
    return found;
  }

  /// A folder outside the stick holding these files.
  std::string copy_folder(const std::string &name,
                          const std::map<std::string, std::string> &files) {
    fs::path dir = folder_.path() / name;
    for (const auto &[path, bytes] : files) {
      fs::create_directories((dir / path).parent_path());
      std::ofstream(dir / path, std::ios::binary) << bytes;
    }
    fs::create_directories(dir);
    return dir.string();
  }

  FaultFileSystem faults;
  platform::FileSystemOverride use{faults};
  RecordingToolkit toolkit;
  Process process;
  UsbDiskPtr disk;
  TreeState original;
  std::vector<Report> reports;
  /// Told of each report as it comes, while the run goes on.
  std::function<void(const Report &)> on_report;
};

} // namespace corvantix::test
