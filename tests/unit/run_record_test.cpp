#include "pipeline/run_record.h"

#include "device/usb_disk.h"
#include "platform/state.h"
#include "strings/res.h"
#include "ui/main_window.h"
#include "unit/scratch.h"
#include "unit/scripted_toolkit.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace corvantix;

namespace {

namespace fs = std::filesystem;

RunRecord record_on(const UsbDisk &disk, RunStep step, std::string folder) {
  RunRecord record;
  record.target = disk.path;
  record.device_id = disk.deviceID;
  record.pnp_id = disk.pnpID;
  record.model = disk.model;
  record.size = disk.size;
  record.backup = record.format = record.fdos = true;
  record.backup_folder = std::move(folder);
  record.step = step;
  return record;
}

std::vector<std::string> records_on_file() {
  return platform::files_ending_in(platform::state_folder(), ".run");
}

class RunRecords : public ::testing::Test {
protected:
  void SetUp() override {
    Res::init_for("en-US");
    for (const std::string &file : records_on_file())
      platform::remove_file(file);
  }
  void TearDown() override { SetUp(); }

  /// A record on file of a run that was cut off: its journal is gone
  /// without finishing, as a kill leaves it.
  void cut_off(const RunRecord &record) { RunJournal journal(record); }

  UsbDiskPtr stick = std::make_shared<UsbDisk>(
      "\\\\.\\PHYSICALDRIVE1", "Stick", 1000u << 20,
      "USBSTOR\\DISK&VEN_X&PROD_Y\\1", 'E');
  UsbDiskPtr other = std::make_shared<UsbDisk>(
      "\\\\.\\PHYSICALDRIVE2", "Other", 2000u << 20,
      "USBSTOR\\DISK&VEN_X&PROD_Z\\2", 'F');
  test::Scratch scratch;
};

TEST_F(RunRecords, TextRoundTripsAndForeignFilesAreNoRecords) {
  RunRecord record = record_on(*stick, RunStep::Restored, "C:\\Temp\\a\nb\\c");
  record.copy_directories = {"D:\\one", "two\\three"};
  record.started = 1796794022;
  std::optional<RunRecord> back = RunRecord::parse(record.text());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->text(), record.text());
  EXPECT_EQ(back->backup_folder, record.backup_folder);
  EXPECT_EQ(back->copy_directories, record.copy_directories);
  EXPECT_EQ(back->step, RunStep::Restored);

  std::string text = record.text();
  const std::string broken[] = {
      "",
      "corvantix-run 2\nstep=format\n",
      text.substr(0, text.find("step=")),            // no step
      std::string(text).replace(text.find("step=restored"), 13, "step=later"),
      std::string(text).replace(text.find("size="), 5, "size=x"),
  };
  for (const std::string &bad : broken)
    EXPECT_FALSE(RunRecord::parse(bad)) << bad;
}

TEST_F(RunRecords, AJournalHoldsItsRecordUntilItFinishes) {
  RunJournal journal(record_on(*stick, RunStep::Backup, ""));
  ASSERT_EQ(records_on_file().size(), 1u);
  // A run under way is nobody's to finish.
  EXPECT_TRUE(unfinished_runs().empty());
  journal.reach(RunStep::Format);
  journal.finish();
  EXPECT_TRUE(records_on_file().empty());
}

// What a start does with each kind of record it finds.
TEST_F(RunRecords, AStartSortsTheRunsThatWereCutOff) {
  std::string kept = scratch.write("kept/FILE.TXT", "mine");
  std::string partial = scratch.write("partial/HALF.TXT", "half");
  struct Row {
    const char *name;
    RunRecord record;
    bool finishable;
    const char *notice; ///< words the notice holds; null for none
    bool record_stays;
    std::string folder_left; ///< a folder that must still exist, or gone
    bool folder_stays;
  } rows[] = {
      {"on this stick", record_on(*stick, RunStep::Format, fs::path(kept).parent_path().string()),
       true, nullptr, true, fs::path(kept).parent_path().string(), true},
      {"before the stick changed",
       record_on(*stick, RunStep::Backup, fs::path(partial).parent_path().string()),
       false, nullptr, false, fs::path(partial).parent_path().string(), false},
      {"backup gone", record_on(*stick, RunStep::Restore, scratch.path("gone")),
       false, "no longer exists", false, "", false},
      {"stick absent", record_on(*other, RunStep::FreeDos, fs::path(kept).parent_path().string()),
       false, "Connect that stick", true, fs::path(kept).parent_path().string(), true},
  };
  for (const Row &row : rows) {
    SetUp();
    cut_off(row.record);
    UnfinishedRuns review = review_unfinished_runs({{stick, stick->path}});
    EXPECT_EQ(review.finishable.size(), row.finishable ? 1u : 0u) << row.name;
    if (row.finishable) {
      EXPECT_EQ(review.finishable[0].disk, stick) << row.name;
    }
    ASSERT_EQ(review.notices.size(), row.notice ? 1u : 0u) << row.name;
    if (row.notice) {
      EXPECT_NE(review.notices[0].find(row.notice), std::string::npos)
          << row.name << ": " << review.notices[0];
      if (!row.record.backup_folder.empty()) {
        EXPECT_NE(review.notices[0].find(row.record.backup_folder), std::string::npos)
            << row.name << ": the notice names where the files are";
      }
    }
    review = {}; // lets the locks go
    EXPECT_EQ(records_on_file().size(), row.record_stays ? 1u : 0u) << row.name;
    if (!row.folder_left.empty()) {
      EXPECT_EQ(fs::exists(row.folder_left), row.folder_stays) << row.name;
    }
  }
}

// The window asks about a run cut off on a listed stick before anything
// else; Yes starts it at once, No leaves the files and the record.
TEST_F(RunRecords, TheWindowOffersToFinishARunOnAListedStick) {
  std::string folder = fs::path(scratch.write("files/A.TXT", "a")).parent_path().string();
  for (bool yes : {true, false}) {
    SetUp();
    cut_off(record_on(*stick, RunStep::FreeDos, folder));
    cut_off(record_on(*other, RunStep::Format, folder));
    test::ScriptedToolkit toolkit;
    Process process;
    UsbDiskPtr ran_on;
    frmCorvantix window(process, toolkit,
                        {[&](UsbList &list) { list.disks = {stick}; },
                         [&](const UsbDiskPtr &disk, const ProgressCallback &) {
                           ran_on = disk;
                         }});
    window.view().show();
    toolkit.main().answers = {yes};
    window.offer_unfinished_runs();
    toolkit.pump();
    const auto &boxes = toolkit.main().boxes;
    ASSERT_EQ(boxes.size(), yes ? 3u : 2u) << "absent stick, question, outcome";
    EXPECT_FALSE(boxes[0].yes_no);
    EXPECT_NE(boxes[0].text.find("Other"), std::string::npos) << boxes[0].text;
    EXPECT_TRUE(boxes[1].yes_no);
    EXPECT_NE(boxes[1].text.find(folder), std::string::npos) << boxes[1].text;
    EXPECT_EQ(ran_on, yes ? stick : nullptr);
    EXPECT_EQ(records_on_file().size(), 2u)
        << "the stand-in run finishes nothing, and No leaves the record";
  }
}

} // namespace
