#include "host/pipeline_fixture.h"

#include "disk/fat/volume.h"
#include "disk/raw_device.h"
#include "platform/host/machine/image_range.h"
#include "platform/resources.h"

#include <algorithm>

using namespace corvantix;
using namespace corvantix::test;

namespace {

const std::string kDefaultConfig =
    "shell=\\command.com /e:8192 /p\r\nswitches=/f\r\nfiles=30\r\nlastdrive=z\r\n";
const std::string kDefaultAutoexec = "@echo off \r\nprompt $P$G\r\n";
const char *kFreeDosFiles[] = {"KERNEL.SYS", "COMMAND.COM", "CONFIG.SYS",
                               "AUTOEXEC.BAT", "ThirdPartyLicenses.txt"};

std::string embedded(const char *name) {
  auto stream = platform::open_resource(name);
  return {std::istreambuf_iterator<char>(*stream), {}};
}

std::string cause_message(const std::exception_ptr &failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Error &e) {
    return message_of(e.cause());
  } catch (...) {
  }
  return "(no cause)";
}

class Process_ : public PipelineTest {
protected:
  /// The record of the run that just failed is finished as the next start
  /// does it: every original file is back, the backup and the record gone.
  void expect_finished_from_record(bool restored) {
    std::vector<StoredRun> cut = unfinished_runs();
    ASSERT_EQ(cut.size(), 1u);
    process.finish_next(std::move(cut[0]));
    reports.clear();
    ASSERT_TRUE(runs());
    TreeState now = stick().state();
    for (const auto &[path, state] : original) {
      ASSERT_TRUE(now.count(path)) << path << " lost";
      EXPECT_EQ(now.at(path), state) << path;
    }
    EXPECT_TRUE(backups().empty());
    EXPECT_TRUE(unfinished_runs().empty());
    bool formatted = std::any_of(reports.begin(), reports.end(), [](const Report &r) {
      return r.text == "Formating...";
    });
    EXPECT_EQ(formatted, !restored);
  }
};

struct Expected {
  double fraction;
  const char *text;
};

// The reports that begin a step: those within a step lie between whole
// steps (k/N for the N of the run's `steps`).
std::vector<Report> step_reports(const std::vector<Report> &reports) {
  std::vector<Report> firsts;
  for (std::size_t i = 0; i < reports.size(); ++i) {
    // The first report comes at 1/N, which gives N.
    double steps = 1 / reports[0].fraction;
    double k = reports[i].fraction * steps;
    if (std::abs(k - std::round(k)) < 1e-9)
      firsts.push_back(reports[i]);
  }
  return firsts;
}

void expect_reports(const std::vector<Report> &all,
                    const std::vector<Expected> &expected) {
  std::vector<Report> reports = step_reports(all);
  ASSERT_EQ(reports.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_DOUBLE_EQ(reports[i].fraction, expected[i].fraction) << i;
    EXPECT_EQ(reports[i].text, expected[i].text) << i;
  }
}

TEST_F(Process_, DefaultsReportFiveSteps) {
  ASSERT_TRUE(runs());
  expect_reports(reports, {{0.2, "creating backup..."},
                           {0.4, "Formating..."},
                           {0.6, "Installing FreeDOS..."},
                           {0.8, "restoring backup..."},
                           {1.0, "Done!"}});
  EXPECT_EQ(reports.back().fraction, 1.0);
}

// The bar moves inside the steps, never back, and the bytes told are the
// run's copies: the tree out, in and read back.
TEST_F(Process_, ProgressMovesInsideTheStepsAndNeverBack) {
  for (int i = 0; i < 40; ++i)
    put("MANY/F" + std::to_string(i) + ".BIN", std::string(3000 + 97 * i, 'm'));
  std::uint64_t tree = 0;
  for (const auto &[path, state] : stick().state())
    tree += state.bytes.size();
  std::vector<std::uint64_t> told;
  process.control({nullptr, nullptr, [&](std::uint64_t bytes) { told.push_back(bytes); }});
  ASSERT_TRUE(runs());
  for (std::size_t i = 1; i < reports.size(); ++i)
    ASSERT_GE(reports[i].fraction, reports[i - 1].fraction) << i;
  EXPECT_EQ(reports.back().fraction, 1.0);
  for (const char *step : {"creating backup...", "restoring backup..."}) {
    auto within = std::count_if(reports.begin(), reports.end(),
                                [&](const Report &r) { return r.text == step; });
    EXPECT_GT(within, 10) << step;
  }
  ASSERT_FALSE(told.empty());
  EXPECT_TRUE(std::is_sorted(told.begin(), told.end()));
  EXPECT_EQ(told.back(), 3 * tree);
}

TEST_F(Process_, FractionsOfTheOtherOptionSets) {
  process.backup(false);
  ASSERT_TRUE(runs());
  expect_reports(reports, {{1.0 / 3, "Formating..."},
                           {2.0 / 3, "Installing FreeDOS..."},
                           {1.0, "Done!"}});

  reports.clear();
  process.backup(true);
  process.add_copy_directory(copy_folder("one", {{"A.TXT", "a"}}));
  process.add_copy_directory(copy_folder("two", {{"B.TXT", "b"}}));
  ASSERT_TRUE(runs());
  expect_reports(reports, {{1.0 / 7, "creating backup..."},
                           {2.0 / 7, "Formating..."},
                           {3.0 / 7, "Installing FreeDOS..."},
                           {4.0 / 7, "restoring backup..."},
                           {5.0 / 7, "Copying files..."},
                           {6.0 / 7, "Copying files..."},
                           {1.0, "Done!"}});

  reports.clear();
  process.copy_directories.clear();
  process.backup(false);
  process.format(false);
  ASSERT_TRUE(runs());
  expect_reports(reports, {{0.5, "Installing FreeDOS..."}, {1.0, "Done!"}});

  reports.clear();
  process.fdos(false);
  ASSERT_TRUE(runs());
  expect_reports(reports, {{1.0, "Done!"}});
}

TEST_F(Process_, CopyFolderTextShowsTheFolderWhenTheTextAsksForIt) {
  Res::set("STEP_COPY", "Copying {0}...");
  std::string folder = copy_folder("extra", {{"X.TXT", "x"}});
  process.backup(false);
  process.format(false);
  process.fdos(false);
  process.add_copy_directory(folder);
  ASSERT_TRUE(runs());
  ASSERT_EQ(step_reports(reports).size(), 2u);
  EXPECT_EQ(reports[0].text, "Copying " + folder + "...");
}

TEST_F(Process_, SuccessPutsEveryOriginalFileBackAndDeletesOnlyTheBackup) {
  ASSERT_TRUE(runs());
  TreeState now = stick().state();
  for (const auto &[path, state] : original) {
    ASSERT_TRUE(now.count(path)) << path << " lost";
    EXPECT_EQ(now.at(path), state) << path;
  }
  EXPECT_TRUE(stick().is_folder("EMPTY"));
  // The user's CONFIG.SYS replaced the default; the other files are new.
  EXPECT_EQ(now.at("CONFIG.SYS").bytes, "files=40\r\n");
  for (const char *name : {"KERNEL.SYS", "COMMAND.COM", "AUTOEXEC.BAT",
                           "ThirdPartyLicenses.txt"})
    EXPECT_EQ(now.at(name).bytes, embedded(name)) << name;
  EXPECT_TRUE(backups().empty());
  EXPECT_TRUE(fs::is_directory(fs::path(faults.temp) / "Corvantix"));
  EXPECT_TRUE(toolkit.boxes.empty());
}

TEST_F(Process_, UsersKernelAndShellFromTheBackupWin) {
  put("KERNEL.SYS", "my own kernel");
  put("COMMAND.COM", "my own shell", emulation::kDosReadOnly);
  put("AUTOEXEC.BAT", "@echo mine\r\n");
  ASSERT_TRUE(runs());
  EXPECT_EQ(stick().read("KERNEL.SYS"), "my own kernel");
  EXPECT_EQ(stick().read("COMMAND.COM"), "my own shell");
  EXPECT_EQ(stick().attributes("COMMAND.COM"),
            emulation::kDosReadOnly);
  EXPECT_EQ(stick().read("AUTOEXEC.BAT"), "@echo mine\r\n");
  EXPECT_EQ(stick().read("ThirdPartyLicenses.txt"),
            embedded("ThirdPartyLicenses.txt"));
}

TEST_F(Process_, CopyFoldersComeLastAndALaterOneWins) {
  put("AUTOEXEC.BAT", "@echo restored\r\n");
  process.add_copy_directory(copy_folder(
      "first", {{"AUTOEXEC.BAT", "@echo first\r\n"}, {"UTIL/A.COM", "a"}}));
  process.add_copy_directory(copy_folder(
      "second", {{"AUTOEXEC.BAT", "@echo second\r\n"}, {"UTIL/B.COM", "b"}}));
  ASSERT_TRUE(runs());
  EXPECT_EQ(stick().read("AUTOEXEC.BAT"), "@echo second\r\n");
  EXPECT_EQ(stick().read("UTIL/A.COM"), "a");
  EXPECT_EQ(stick().read("UTIL/B.COM"), "b");

  // The same folder twice is copied twice, over itself.
  start_machine();
  process.copy_directories = {process.copy_directories[0],
                              process.copy_directories[0]};
  reports.clear();
  ASSERT_TRUE(runs());
  EXPECT_EQ(step_reports(reports).size(), 7u);
  EXPECT_EQ(stick().read("AUTOEXEC.BAT"), "@echo first\r\n");
}

TEST_F(Process_, WithoutFormatTheFilesGoOntoTheExistingFileSystem) {
  process.format(false);
  process.backup(false);
  ASSERT_TRUE(runs());
  EXPECT_EQ(faults.count("volume_ready"), 0u);
  TreeState now = stick().state();
  EXPECT_EQ(now.at("README.TXT"), original.at("README.TXT"));
  EXPECT_EQ(now.at("NOTES.TXT"), original.at("NOTES.TXT"));
  EXPECT_EQ(now.at("CONFIG.SYS").bytes, kDefaultConfig);
  EXPECT_EQ(now.at("AUTOEXEC.BAT").bytes, kDefaultAutoexec);
  EXPECT_EQ(now.at("KERNEL.SYS").bytes, embedded("KERNEL.SYS"));
}

TEST_F(Process_, MissingCopyFolderFailsAfterFormatAndInstall) {
  process.backup(false);
  std::string missing = (folder_.path() / "no-such-folder").string();
  std::string present = copy_folder("present", {{"P.TXT", "p"}});
  process.add_copy_directory(present);
  process.add_copy_directory(missing);
  process.add_copy_directory(copy_folder("never", {{"N.TXT", "n"}}));
  std::exception_ptr failure = run();
  ASSERT_TRUE(failure);
  EXPECT_EQ(message_of(failure),
            "Could not copy the files from '" + missing + "' to the device.");
  EXPECT_NE(cause_message(failure), "(no cause)");
  EXPECT_EQ(stick().read("KERNEL.SYS"), embedded("KERNEL.SYS"));
  EXPECT_EQ(stick().read("P.TXT"), "p");
  EXPECT_FALSE(stick().exists("N.TXT"));
  EXPECT_FALSE(stick().exists("NOTES.TXT")) << "the stick was formatted";
  EXPECT_EQ(step_reports(reports).size(), 4u) << "no report after the failure";
}

TEST_F(Process_, FormatFailureEndsWithTheNoteJoinedWithoutASpace) {
  emulation::Machine::current().fail_call("WriteFile", 19); // write protected
  std::exception_ptr failure = run();
  ASSERT_TRUE(failure);
  ASSERT_EQ(backups().size(), 1u);
  std::string note = "Your backup files will be left at '" +
                     backups()[0].string() + "' for you to restore manually.";
  std::string cause = cause_message(failure);
  EXPECT_EQ(cause.rfind("Error 19, ", 0), 0u) << cause;
  EXPECT_EQ(message_of(failure), cause + note);
  EXPECT_EQ(step_reports(reports).size(), 2u);
}

TEST_F(Process_, NoteIsLeftOutWithoutBackup) {
  process.backup(false);
  emulation::Machine::current().fail_call("WriteFile", 19);
  std::exception_ptr failure = run();
  ASSERT_TRUE(failure);
  EXPECT_EQ(message_of(failure), cause_message(failure));
  EXPECT_EQ(faults.count("create_new_folder"), 0u);
}

TEST_F(Process_, DriveNotReadyIsShownOnceAndTheRunGoesOn) {
  faults.ready = false;
  ASSERT_TRUE(runs());
  ASSERT_EQ(toolkit.boxes.size(), 1u);
  EXPECT_EQ(toolkit.boxes[0].text,
            "The drive E:\\ is not ready. Please close any applications "
            "trying to acces the drive.");
  EXPECT_EQ(toolkit.boxes[0].title, "Drive not ready.");
  EXPECT_EQ(toolkit.boxes[0].buttons, Toolkit::Buttons::Ok);
  EXPECT_EQ(faults.count("volume_ready"), 1u);
  EXPECT_EQ(stick().read("KERNEL.SYS"), embedded("KERNEL.SYS"));

  // Without a toolkit there is nobody to tell; the run still goes on.
  start_machine();
  process.toolkit(nullptr);
  reports.clear();
  ASSERT_TRUE(runs());
  EXPECT_EQ(toolkit.boxes.size(), 1u);
}

TEST_F(Process_, NoDiskDoesNothing) {
  disk.reset();
  ASSERT_TRUE(runs());
  EXPECT_TRUE(reports.empty());
  EXPECT_TRUE(faults.calls.empty());
  EXPECT_EQ(stick().state(), original);
}

TEST_F(Process_, NoCallbackRunsSilently) {
  process.process(disk, nullptr);
  EXPECT_EQ(stick().read("NOTES.TXT"), "my notes\r\n");
  EXPECT_EQ(stick().read("KERNEL.SYS"), embedded("KERNEL.SYS"));
  progress_cb(0.5, "ignored"); // the stand-in callback takes any report
}

// Each row of the failure table: the message, the cause, what is left.

TEST_F(Process_, BackupFolderThatCannotBeMadeLeavesTheStickUntouched) {
  faults.fail("create_new_folder", 5);
  std::exception_ptr failure = run();
  ASSERT_TRUE(failure);
  EXPECT_EQ(message_of(failure), "Could not create temporary directory.");
  EXPECT_EQ(cause_message(failure), platform::FileError(5, "").what());
  EXPECT_EQ(stick().state(), original);
  EXPECT_EQ(step_reports(reports).size(), 1u);
}

TEST_F(Process_, BackupCopyFailureLeavesTheStickUntouched) {
  faults.fail("copy_file", 112, 2); // disk full on the third file
  std::exception_ptr failure = run();
  ASSERT_TRUE(failure);
  // The message says why, naming the entry where the copy stopped.
  std::string why = platform::FileError(112, "").what();
  EXPECT_EQ(message_of(failure).rfind("Could not create backup. " + why + " (E:\\", 0), 0u)
      << message_of(failure);
  EXPECT_EQ(cause_message(failure), why);
  EXPECT_EQ(stick().state(), original);
  EXPECT_TRUE(backups().empty()) << "a partial copy is clutter nobody names";
}

TEST_F(Process_, AHalfBackupThatStaysIsNamed) {
  faults.fail("copy_file", 112, 2);
  faults.fail("delete_tree", 5);
  std::exception_ptr failure = run();
  ASSERT_TRUE(failure);
  ASSERT_EQ(backups().size(), 1u);
  std::string message = message_of(failure);
  EXPECT_EQ(message.rfind("Could not create backup. ", 0), 0u) << message;
  EXPECT_TRUE(message.ends_with(Res::format("TEMP_NOTE", backups()[0].string())))
      << message;
  EXPECT_EQ(stick().state(), original);
}

TEST_F(Process_, RefreshFailureCarriesTheNote) {
  start_machine(emulation::NodeBehaviour::ResistsDisable);
  std::exception_ptr failure = run();
  ASSERT_TRUE(failure);
  ASSERT_EQ(backups().size(), 1u);
  EXPECT_EQ(message_of(failure),
            cause_message(failure) +
                Res::format("TEMP_NOTE", backups()[0].string()));
  EXPECT_EQ(cause_message(failure), Res::format("USB_ERR_REFRESH", disk->pnpID));
}

TEST_F(Process_, FreeDosFailureEndsTheStepAtTheFailingFile) {
  faults.fail("create_file", 5, 2); // CONFIG.SYS
  std::exception_ptr failure = run();
  ASSERT_TRUE(failure);
  ASSERT_EQ(backups().size(), 1u);
  EXPECT_EQ(message_of(failure),
            "Could not install FreeDOS." +
                Res::format("TEMP_NOTE", backups()[0].string()));
  EXPECT_EQ(cause_message(failure),
            "Could not copy resource CONFIG.SYS to E:\\: " +
                std::string(platform::FileError(5, "").what()));
  EXPECT_EQ(stick().read("KERNEL.SYS"), embedded("KERNEL.SYS"));
  EXPECT_EQ(stick().read("COMMAND.COM"), embedded("COMMAND.COM"));
  EXPECT_FALSE(stick().exists("AUTOEXEC.BAT"));
  EXPECT_FALSE(stick().exists("ThirdPartyLicenses.txt"));
  EXPECT_EQ(step_reports(reports).size(), 3u);
}

TEST_F(Process_, RestoreFailureNamesTheBackupFolder) {
  faults.fail("copy_file", 5, int(original.size()) + 1);
  std::exception_ptr failure = run();
  ASSERT_TRUE(failure);
  ASSERT_EQ(backups().size(), 1u);
  EXPECT_EQ(message_of(failure),
            "Could not restore backup from '" + backups()[0].string() +
                "'! The files will be left there for you to restore manually.");
  EXPECT_EQ(cause_message(failure), platform::FileError(5, "").what());
  EXPECT_EQ(tree_state(backups()[0]), original);
}

TEST_F(Process_, RestoreDeleteFailureIsReportedTheSameWay) {
  faults.fail("delete_tree", 32);
  std::exception_ptr failure = run();
  ASSERT_TRUE(failure);
  ASSERT_EQ(backups().size(), 1u);
  EXPECT_EQ(message_of(failure),
            Res::format("STEP_BACKUP_RESTORE_ERR", backups()[0].string()));
  EXPECT_EQ(cause_message(failure), platform::FileError(32, "").what());
  // The copy back was complete: the stick holds everything again.
  TreeState now = stick().state();
  for (const auto &[path, state] : original)
    EXPECT_EQ(now.at(path), state) << path;
}

// Nothing the user had may be lost without being told where it is: after a
// failure at any step behind the backup, the backup folder that the
// message names holds every original file with its attributes and time.
TEST_F(Process_, EveryFailureAfterTheBackupKeepsTheFilesAndSaysWhere) {
  struct Injection {
    const char *what;
    std::function<void()> inject;
    emulation::NodeBehaviour behaviour = emulation::NodeBehaviour::Normal;
  };
  std::vector<Injection> injections = {
      {"format", [] { emulation::Machine::current().fail_call("WriteFile", 19); }},
      {"refresh", [] {}, emulation::NodeBehaviour::ResistsDisable},
      {"restore copy",
       [this] { faults.fail("copy_file", 112, int(original.size())); }},
      {"restore copy, last file",
       [this] { faults.fail("copy_file", 112, 2 * int(original.size()) - 1); }},
  };
  // The writes of the five files: KERNEL.SYS 0-1, COMMAND.COM 2-4,
  // CONFIG.SYS 5, AUTOEXEC.BAT 6, ThirdPartyLicenses.txt 7.
  const int failing_write[] = {1, 3, 5, 6, 7};
  for (int k = 0; k < 5; ++k)
    injections.push_back({kFreeDosFiles[k], [this, skip = failing_write[k]] {
                            faults.fail("write", 112, skip);
                          }});
  for (const Injection &injection : injections) {
    SCOPED_TRACE(injection.what);
    start_machine(injection.behaviour);
    fs::remove_all(fs::path(faults.temp) / "Corvantix");
    injection.inject();
    std::exception_ptr failure = run();
    ASSERT_TRUE(failure);
    ASSERT_EQ(backups().size(), 1u);
    std::string where = backups()[0].string();
    EXPECT_NE(message_of(failure).find("'" + where + "'"), std::string::npos)
        << message_of(failure);
    EXPECT_EQ(tree_state(backups()[0]), original);
    EXPECT_TRUE(fs::is_directory(backups()[0] / "EMPTY"));
    faults.calls.clear();
    emulation::Machine::current().clear_faults();
    if (injection.behaviour == emulation::NodeBehaviour::Normal)
      expect_finished_from_record(false);
    else // the stick still resists: its record is not for the next row
      for (const StoredRun &cut : unfinished_runs())
        drop_unfinished_run(cut);
  }
}

// One lock of the volume from the capacity check through the format: a
// program that opens the stick between them (on the report that the check
// is done) finds it locked, and the run goes through.
TEST_F(Process_, AHolderBetweenCapacityCheckAndFormatIsKeptOut) {
  emulation::Machine &machine = emulation::Machine::current();
  int formatting = 0;
  std::uint32_t opened = ERROR_SUCCESS;
  on_report = [&](const Report &report) {
    if (report.text == "Formating..." && ++formatting == 2)
      opened = machine.hold_volume('E', "Explorer");
  };
  machine.calls().clear();
  ASSERT_TRUE(runs());
  EXPECT_EQ(formatting, 3) << "the step's start, after the check, after the format";
  EXPECT_EQ(opened, std::uint32_t(ERROR_ACCESS_DENIED));
  EXPECT_EQ(std::count(machine.calls().begin(), machine.calls().end(),
                       "DeviceIoControl \\\\.\\E: FSCTL_LOCK_VOLUME"),
            1);
  EXPECT_EQ(stick().read("NOTES.TXT"), "my notes\r\n");
}

// A program that holds the stick's volume past the lock's tries: the run
// ends before anything changed, with the backup gone and the holder named
// where the system can tell; one that lets go in time is waited for.
TEST_F(Process_, AStickHeldByAnotherProgramIsLeftUnchanged) {
  const struct {
    const char *program;
    int refusals; // after which the holder lets go; 0 never
    const char *key;
  } rows[] = {
      {"Windows Explorer", 0, "USB_ERR_IN_USE_BY"},
      {"", 0, "USB_ERR_IN_USE"},
      {"SearchIndexer", kVolumeLockTries - 1, nullptr},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.program);
    start_machine();
    fs::remove_all(fs::path(faults.temp) / "Corvantix");
    ASSERT_EQ(emulation::Machine::current().hold_volume('E', row.program, 3,
                                                        row.refusals),
              0u);
    std::exception_ptr failure = run();
    if (!row.key) {
      EXPECT_FALSE(failure) << describe_chain(failure);
      EXPECT_EQ(stick().read("NOTES.TXT"), "my notes\r\n");
      continue;
    }
    ASSERT_TRUE(failure);
    EXPECT_EQ(message_of(failure), Res::format(row.key, "E:\\", row.program));
    EXPECT_NE(message_of(failure).find("Nothing was changed"), std::string::npos);
    EXPECT_EQ(stick().state(), original);
    EXPECT_TRUE(backups().empty()) << "nothing to put back";
    EXPECT_TRUE(unfinished_runs().empty());
  }
}

// Windows' own System Volume Information in the stick's root is neither
// saved nor put back nor compared: the indexer making it again on the new
// volume, with a file of the same name that it holds read-only, does not
// stop the restore, and every file of the user is back, a folder of that
// name below the root among them.
TEST_F(Process_, WindowsOwnFolderIsLeftOutOfBackupRestoreAndCheck) {
  const std::string own = "System Volume Information";
  put(own + "/IndexerVolumeGuid", "{old}");
  stick().set_attributes(own, emulation::kDosHidden | emulation::kDosSystem);
  put("GAMES/" + own + "/SAVE.TXT", "the user's");
  TreeState users = stick().state();
  ASSERT_EQ(users.erase(own + "/IndexerVolumeGuid"), 1u);
  platform::FileSystem &windows = platform::native_file_system();
  const std::string folder = "E:\\" + own, file = folder + "\\IndexerVolumeGuid";
  TreeState saved;
  on_report = [&](const Report &report) {
    if (report.text == "Formating..." && saved.empty())
      saved = tree_state(backups().at(0));
    if (report.text != "restoring backup..." || windows.entry_name(folder))
      return;
    windows.create_folders(folder);
    windows.create_file(file)->write("{new}", 5);
    windows.set_attributes(file, platform::kAttributeReadOnly);
    windows.set_attributes(folder, platform::kAttributeHidden |
                                       platform::kAttributeSystem);
  };
  ASSERT_TRUE(runs());
  EXPECT_EQ(saved.count(own + "/IndexerVolumeGuid"), 0u);
  EXPECT_EQ(saved.size(), users.size());
  TreeState now = stick().state();
  for (const auto &[path, state] : users) {
    ASSERT_TRUE(now.count(path)) << path << " lost";
    EXPECT_EQ(now.at(path), state) << path;
  }
  EXPECT_EQ(stick().read(own + "/IndexerVolumeGuid"), "{new}");
  EXPECT_TRUE(backups().empty());
}

// The stick's volume through the FAT library, for the times that mtools
// neither sets nor shows.
void with_volume(const std::function<void(fat::FatVolume &)> &use) {
  emulation::Disk &disk = *emulation::Machine::current().disk_by_letter('E');
  emulation::ImageRange range(disk.config.image.string(), disk.volume_offset,
                              disk.volume_length);
  std::unique_ptr<fat::FatVolume> volume;
  ASSERT_EQ(fat::FatVolume::Mount(range, volume), 0u);
  use(*volume);
  ASSERT_EQ(volume->Flush(), 0u);
}

// Creation times, to the hundredth, and the folders' write times come back
// with the files: entries given times of long ago have them after a run.
TEST_F(Process_, CreationAndFolderTimesComeBack) {
  const struct {
    const char *path;
    fat::DosTime created;
    std::uint8_t hundredths;
    fat::DosTime written; // set on folders; files keep theirs
  } entries[] = {
      {"NOTES.TXT", {(21 << 9) | (2 << 5) | 3, (4 << 11) | (5 << 5) | 6}, 57, {}},
      {"GAMES/SAVE/SYSTEM.BIN", {(10 << 9) | (1 << 5) | 1, 0}, 199, {}},
      {"GAMES", {(19 << 9) | (7 << 5) | 9, (8 << 11)}, 3,
       {(25 << 9) | (5 << 5) | 1, (12 << 11) | (30 << 5)}},
      {"GAMES/SAVE", {(20 << 9) | (1 << 5) | 2, 0}, 0,
       {(26 << 9) | (6 << 5) | 7, (1 << 11)}},
      {"EMPTY", {(15 << 9) | (3 << 5) | 4, (9 << 11)}, 120,
       {(16 << 9) | (3 << 5) | 4, (10 << 11)}},
  };
  std::map<std::string, fat::DirEntry> before;
  with_volume([&](fat::FatVolume &volume) {
    for (const auto &e : entries) {
      ASSERT_EQ(volume.SetCreationTime(e.path, e.created, e.hundredths), 0u);
      if (e.written != fat::DosTime()) {
        ASSERT_EQ(volume.SetWriteTime(e.path, e.written), 0u);
      }
      ASSERT_EQ(volume.Find(e.path, before[e.path]), 0u);
    }
  });
  ASSERT_TRUE(runs());
  with_volume([&](fat::FatVolume &volume) {
    for (const auto &[path, was] : before) {
      SCOPED_TRACE(path);
      fat::DirEntry now;
      ASSERT_EQ(volume.Find(path, now), 0u);
      EXPECT_EQ(now.created, was.created);
      EXPECT_EQ(now.created_hundredths, was.created_hundredths);
      EXPECT_EQ(now.written, was.written);
    }
  });
}

// A run cut off after its verified restore, while its backup went: the
// next start does not prepare the stick again, it only clears up.
TEST_F(Process_, ARunCutOffAfterItsRestoreIsOnlyClearedUp) {
  faults.fail("delete_tree", 5);
  ASSERT_TRUE(run());
  expect_finished_from_record(true);
  EXPECT_EQ(stick().read("KERNEL.SYS"), embedded("KERNEL.SYS"));
}

// Without a format nothing is put back: a restore would only write the
// stick's old system files over the new ones.
TEST_F(Process_, NoFormatMeansNoBackup) {
  process.format(false);
  ASSERT_TRUE(runs());
  expect_reports(reports, {{0.5, "Installing FreeDOS..."}, {1.0, "Done!"}});
  EXPECT_EQ(stick().read("CONFIG.SYS"), kDefaultConfig);
  EXPECT_TRUE(backups().empty());
}

} // namespace
