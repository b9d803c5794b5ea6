#include "app/run_modes.h"

#include "platform/system.h"
#include "strings/error.h"
#include "strings/res.h"
#include "unit/scripted_toolkit.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <sstream>

using namespace corvantix;
namespace fs = std::filesystem;

namespace {

const std::string crash_intro =
    "Corvantix has encountered an error and needs to terminate. Please report "
    "this error. Information:\n";

// Runs each test in a fresh current folder, where drive.txt goes.
class RunModes : public ::testing::Test {
protected:
  void SetUp() override {
    Res::init_for("en-US");
    const char *base = std::getenv("CORVANTIX_TEST_TMP");
    fs::path root = base && *base ? fs::path(base) : fs::temp_directory_path();
    folder = root / ("cx-modes-" + std::to_string(std::random_device{}()));
    fs::create_directories(folder);
    previous = fs::current_path();
    fs::current_path(folder);
  }
  void TearDown() override {
    fs::current_path(previous);
    fs::remove_all(folder);
    Res::init_for("en-US");
  }

  int run(const std::vector<std::string> &args) {
    ArgumentReading reading = read_arguments(args, "/program", process);
    EXPECT_FALSE(reading.error);
    for (const TextOverride &o : reading.overrides)
      Res::set(o.key, o.value);
    MainWindowServices services{
        [this](UsbList &list) {
          ++scans;
          if (scan_failure)
            throw Error("The inventory failed.",
                        std::make_exception_ptr(Error("Access denied.")));
          list.disks.clear();
          list.disks.push_back(std::make_shared<UsbDisk>(
              "\\\\.\\PHYSICALDRIVE1", "Stick", 1u << 30, "USBSTOR\\1", 'E'));
        },
        [this](const UsbDiskPtr &, const ProgressCallback &report) {
          ++pipeline_runs;
          if (hold.valid())
            hold.wait();
          report(0.5, "Half way.");
          if (run_failure)
            throw Error("The run failed. Your backup files will be left at "
                        "'/tmp/CORVANTIX-1' for you to restore manually.");
        }};
    return run_mode(reading.values, process, toolkit, services);
  }

  // The person presses Format and says Yes.
  static void format_once(test::ScriptedToolkit &t) {
    t.main().answers = {true};
    ASSERT_TRUE(t.main().click(Control::btnFormat));
    t.pump();
  }

  std::string drive_txt() {
    std::ifstream file("drive.txt", std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
  }

  void put_drive_txt(const std::string &text) {
    std::ofstream("drive.txt", std::ios::binary) << text;
  }

  fs::path folder, previous;
  test::ScriptedToolkit toolkit;
  Process process;
  int scans = 0;
  int pipeline_runs = 0;
  bool run_failure = false;
  bool scan_failure = false;
  std::shared_future<void> hold; ///< the run waits for it, when set
};

TEST_F(RunModes, WindowModeWithDefaultsStaysOpenAfterARun) {
  bool open_after_run = false;
  std::size_t listeners = 99;
  toolkit.script = [&](test::ScriptedToolkit &t) {
    auto &window = dynamic_cast<frmCorvantix &>(*t.main().events);
    listeners = window.OnFormatFinish.size();
    EXPECT_TRUE(t.main().enabled(Control::chkKeep));
    EXPECT_TRUE(t.main().checked);
    format_once(t);
    open_after_run = t.main().visible();
  };
  EXPECT_EQ(run({}), 0);
  EXPECT_EQ(toolkit.runs, 1);
  EXPECT_EQ(listeners, 0u);
  EXPECT_TRUE(open_after_run);
  EXPECT_EQ(pipeline_runs, 1);
  EXPECT_TRUE(process.backup() && process.fdos() && process.format());
  EXPECT_TRUE(process.copy_directories.empty());
  EXPECT_FALSE(fs::exists("drive.txt"));
  EXPECT_TRUE(toolkit.abouts.empty());
}

TEST_F(RunModes, NoDriveTextOutsideSingleDriveModeChangesNothing) {
  bool open_after_run = false;
  toolkit.script = [&](test::ScriptedToolkit &t) {
    format_once(t);
    open_after_run = t.main().visible();
  };
  EXPECT_EQ(run({"--notxt"}), 0);
  EXPECT_TRUE(open_after_run);
  EXPECT_FALSE(fs::exists("drive.txt"));
}

TEST_F(RunModes, HelpModeShowsOnlyTheAboutWindow) {
  std::string title;
  toolkit.script = [&](test::ScriptedToolkit &t) { title = t.about().title; };
  EXPECT_EQ(run({"-t", "UI_ABOUT=Manual", "--help", "-x"}), 0);
  EXPECT_EQ(title, "Manual");
  EXPECT_TRUE(toolkit.mains.empty());
  EXPECT_EQ(scans, 0);
  EXPECT_EQ(pipeline_runs, 0);
  EXPECT_TRUE(toolkit.about().closed);
  EXPECT_TRUE(toolkit.boxes.empty());
}

TEST_F(RunModes, FailureInHelpModeIsShownWithItsCausesAndEndsWithOne) {
  toolkit.script = [](test::ScriptedToolkit &t) {
    t.about().navigate("http://cxpages/nothing");
  };
  EXPECT_EQ(run({"-h"}), 1);
  ASSERT_EQ(toolkit.boxes.size(), 1u);
  EXPECT_EQ(toolkit.boxes[0].text,
            "Could not load localized string '/nothing'.");
  EXPECT_EQ(toolkit.boxes[0].title, "");
  EXPECT_TRUE(toolkit.about().closed);
}

TEST_F(RunModes, SingleDriveSuccessWritesTheLetterAndCloses) {
  put_drive_txt("Q-from-an-earlier-run\r\n");
  bool locked = false;
  toolkit.script = [&](test::ScriptedToolkit &t) {
    locked = !t.main().enabled(Control::cbxSticks) &&
             !t.main().enabled(Control::btnRefresh);
    format_once(t);
  };
  EXPECT_EQ(run({"-s", "E"}), 0);
  EXPECT_TRUE(locked);
  EXPECT_EQ(drive_txt(), "E");
  EXPECT_EQ(fs::file_size("drive.txt"), 1u);
  EXPECT_TRUE(toolkit.main().closed);
  // The window closed after the result box and before any rescan.
  EXPECT_EQ(toolkit.log.back(), "close main");
  EXPECT_EQ(scans, 1);
}

TEST_F(RunModes, SingleDriveWithoutLetterUsesTheUsualList) {
  toolkit.script = [](test::ScriptedToolkit &t) {
    EXPECT_TRUE(t.main().enabled(Control::cbxSticks));
    format_once(t);
  };
  EXPECT_EQ(run({"--single"}), 0);
  EXPECT_EQ(drive_txt(), "E");
}

TEST_F(RunModes, FailedSingleDriveRunKeepsEarlierFileAndEndsWithZero) {
  put_drive_txt("F");
  run_failure = true;
  toolkit.script = format_once;
  EXPECT_EQ(run({"E"}), 0);
  EXPECT_EQ(drive_txt(), "F");
  EXPECT_TRUE(toolkit.main().closed);
  EXPECT_EQ(toolkit.main().boxes.back().text.substr(0, 15), "The run failed.");

  fs::remove("drive.txt");
  EXPECT_EQ(run({"E"}), 0);
  EXPECT_FALSE(fs::exists("drive.txt"));
}

TEST_F(RunModes, NoDriveTextOptionWritesNothing) {
  toolkit.script = format_once;
  EXPECT_EQ(run({"--no-drive-txt", "-s", "E"}), 0);
  EXPECT_TRUE(toolkit.main().closed);
  EXPECT_EQ(pipeline_runs, 1);
  EXPECT_FALSE(fs::exists("drive.txt"));
}

TEST_F(RunModes, ClosingBeforeAnyRunWritesNothing) {
  EXPECT_EQ(run({"-s", "E"}), 0);
  EXPECT_EQ(pipeline_runs, 0);
  EXPECT_FALSE(fs::exists("drive.txt"));
}

TEST_F(RunModes, LowerCaseLetterEndsInTheCrashMessage) {
  EXPECT_EQ(run({"-s", "e"}), 1);
  EXPECT_EQ(toolkit.runs, 0);
  EXPECT_TRUE(toolkit.main().closed);
  ASSERT_EQ(toolkit.boxes.size(), 1u);
  EXPECT_EQ(toolkit.boxes[0].text, crash_intro + "e:\\ is not a USB drive.\n\n");
  EXPECT_EQ(toolkit.boxes[0].title, "We apologize for the inconvenience.");
  EXPECT_EQ(toolkit.boxes[0].buttons, Toolkit::Buttons::Ok);
}

TEST_F(RunModes, FailedFirstScanEndsInTheCrashMessageWithItsCauses) {
  scan_failure = true;
  EXPECT_EQ(run({}), 1);
  ASSERT_EQ(toolkit.boxes.size(), 1u);
  EXPECT_EQ(toolkit.boxes[0].text,
            crash_intro + "The inventory failed.\n\nAccess denied.");
}

TEST_F(RunModes, FailureInAHandlerEndsTheWindowInTheCrashMessage) {
  toolkit.script = [this](test::ScriptedToolkit &t) {
    scan_failure = true;
    t.main().click(Control::btnRefresh);
  };
  EXPECT_EQ(run({}), 1);
  EXPECT_TRUE(toolkit.main().closed);
  ASSERT_EQ(toolkit.boxes.size(), 1u);
  EXPECT_EQ(toolkit.boxes[0].title, "We apologize for the inconvenience.");
}

TEST_F(RunModes, UnwritableDriveTextIsNotReportedAsSuccess) {
  fs::create_directory("drive.txt"); // nothing can be written there
  toolkit.script = format_once;
  EXPECT_EQ(run({"-s", "E"}), 1);
  EXPECT_TRUE(toolkit.main().closed);
  ASSERT_EQ(toolkit.boxes.size(), 1u);
  EXPECT_EQ(toolkit.boxes[0].text,
            crash_intro + "Could not write to disk.\n\n");
  EXPECT_TRUE(fs::is_directory("drive.txt"));
}

// The main window destroyed from outside (a window manager, another X
// client, the program told to end) while the run goes on: the run reaches
// its end on the worker, no control is touched after the window has gone,
// its outcome is told without the window and the program ends with 1.
class WindowGoneDuringARun : public RunModes {
protected:
  void SetUp() override {
    RunModes::SetUp();
    toolkit.concurrent_workers = true;
    hold = gone.get_future().share();
    toolkit.script = [this](test::ScriptedToolkit &t) {
      t.main().answers = {true};
      ASSERT_TRUE(t.main().click(Control::btnFormat));
      t.main().destroy();
      gone.set_value();
    };
  }
  std::promise<void> gone;
};

TEST_F(WindowGoneDuringARun, AFailedRunNamesTheBackupFolder) {
  run_failure = true;
  EXPECT_EQ(run({}), 1);
  EXPECT_EQ(pipeline_runs, 1);
  ASSERT_EQ(toolkit.boxes.size(), 1u);
  EXPECT_EQ(toolkit.boxes[0].text,
            "The run failed. Your backup files will be left at "
            "'/tmp/CORVANTIX-1' for you to restore manually.");
  EXPECT_EQ(toolkit.boxes[0].title, "Format failed!");
  EXPECT_EQ(toolkit.workers_busy_at_box, std::vector<int>{0});
  // The window showed the question that started the run, and nothing after.
  ASSERT_EQ(toolkit.main().boxes.size(), 1u);
  EXPECT_TRUE(toolkit.main().boxes[0].yes_no);
}

TEST_F(WindowGoneDuringARun, ASuccessfulSingleDriveRunWritesNoDriveText) {
  put_drive_txt("F");
  EXPECT_EQ(run({"-s", "E"}), 1);
  ASSERT_EQ(toolkit.boxes.size(), 1u);
  EXPECT_EQ(toolkit.boxes[0].text, "Format Successful!");
  EXPECT_EQ(toolkit.workers_busy_at_box, std::vector<int>{0});
  // The script that called for the result file learns from the exit code
  // that the window did not finish; an earlier result stays.
  EXPECT_EQ(drive_txt(), "F");
}

TEST_F(WindowGoneDuringARun, TheCrashMessageWaitsForTheRun) {
  toolkit.script = [this](test::ScriptedToolkit &t) {
    t.main().answers = {true};
    ASSERT_TRUE(t.main().click(Control::btnFormat));
    gone.set_value();
    throw Error("A handler failed.");
  };
  EXPECT_EQ(run({}), 1);
  EXPECT_EQ(pipeline_runs, 1);
  ASSERT_EQ(toolkit.boxes.size(), 2u);
  EXPECT_EQ(toolkit.boxes[0].text, "Format Successful!");
  EXPECT_EQ(toolkit.boxes[1].text, crash_intro + "A handler failed.\n\n");
  EXPECT_EQ(toolkit.workers_busy_at_box, (std::vector<int>{0, 0}));
}

TEST(CrashText, AnyFailureKeepsTheBlankLine) {
  EXPECT_EQ(crash_text(std::make_exception_ptr(std::runtime_error("x"))),
            crash_intro + "x\n\n");
  auto chain = std::make_exception_ptr(Error(
      "a.", std::make_exception_ptr(Error(
                "b.", std::make_exception_ptr(std::runtime_error("c."))))));
  EXPECT_EQ(crash_text(chain), crash_intro + "a.\n\nb.\nc.");
}

} // namespace
