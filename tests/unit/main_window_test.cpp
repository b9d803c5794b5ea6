#include "ui/main_window.h"
#include "device/scan_deadline.h"

#include "strings/error.h"
#include "strings/res.h"
#include "unit/scripted_toolkit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <thread>
#include <utility>

using namespace corvantix;
using test::MainRecord;

namespace {

struct FakeDisk {
  char letter;
  std::string model;
};

// What the listeners of one test heard; plain functions need a place.
std::vector<std::string> *heard = nullptr;
std::vector<std::exception_ptr> failures_heard;
std::vector<UsbDiskPtr> disks_heard;
frmCorvantix *sender_heard = nullptr;

void first_listener(frmCorvantix &sender, const UsbDiskPtr &disk,
                    const std::exception_ptr &failure) {
  heard->push_back("finish 1");
  sender_heard = &sender;
  disks_heard.push_back(disk);
  failures_heard.push_back(failure);
}
void second_listener(frmCorvantix &, const UsbDiskPtr &,
                     const std::exception_ptr &) {
  heard->push_back("finish 2");
}
void closing_listener(frmCorvantix &sender, const UsbDiskPtr &,
                      const std::exception_ptr &) {
  heard->push_back("finish closing");
  sender.close();
}

class MainWindow : public ::testing::Test {
protected:
  void SetUp() override {
    Res::init_for("en-US");
    heard = &toolkit.log;
    failures_heard.clear();
    disks_heard.clear();
    sender_heard = nullptr;
  }
  void TearDown() override { Res::init_for("en-US"); }

  MainWindowServices services() {
    return {[this](UsbList &list) {
              toolkit.log.push_back("scan");
              if (auto call = std::exchange(during_scan, nullptr))
                call();
              if (scan_failure)
                throw Error(scan_failure);
              if (scan_timeout)
                throw InventoryTimeout(scan_timeout);
              list.disks.clear();
              for (const FakeDisk &d : attached)
                list.disks.push_back(std::make_shared<UsbDisk>(
                    "\\\\.\\PHYSICALDRIVE1", d.model, 1000u << 20,
                    "USBSTOR\\DISK&VEN_X&PROD_Y\\1", d.letter));
            },
            [this](const UsbDiskPtr &disk, const ProgressCallback &report) {
              ran_on = disk;
              backup_during_run = process.backup();
              ran_off_window_thread = toolkit.posting_needed();
              for (const auto &[fraction, step] : steps)
                report(fraction, step);
              if (run_failure)
                throw Error(run_failure);
            }};
  }

  std::unique_ptr<frmCorvantix> open() {
    auto window = std::make_unique<frmCorvantix>(process, toolkit, services());
    window->view().show();
    return window;
  }

  MainRecord &view() { return toolkit.main(); }

  test::ScriptedToolkit toolkit;
  Process process;
  std::vector<FakeDisk> attached{{'E', "Stick"}};
  std::vector<std::pair<double, std::string>> steps{{0.5, "Step one."},
                                                    {0.75, "Step two."}};
  const char *run_failure = nullptr;
  const char *scan_failure = nullptr;
  const char *scan_timeout = nullptr;
  std::function<void()> during_scan; ///< once, as COM's wait delivers clicks
  UsbDiskPtr ran_on;
  bool backup_during_run = false;
  bool ran_off_window_thread = false;
};

TEST_F(MainWindow, ConstructionSetsTextsTooltipsAndScansOnce) {
  auto window = open();
  MainRecord &v = view();
  EXPECT_EQ(v.title, "Corvantix");
  EXPECT_EQ(v.text[Control::lblTitle], "Corvantix");
  EXPECT_EQ(v.text[Control::btnAbout], "About/Help");
  EXPECT_EQ(v.text[Control::btnFormat], "Format");
  EXPECT_EQ(v.text[Control::btnRefresh], "Refresh");
  EXPECT_EQ(v.text[Control::lblSticks], "Devices");
  EXPECT_EQ(v.text[Control::chkKeep], "Backup");
  EXPECT_EQ(v.text[Control::lblInfo], Res::get("UI_INFO"));
  EXPECT_EQ(v.tooltip[Control::btnAbout], Res::get("TT_ABOUT"));
  EXPECT_EQ(v.tooltip[Control::btnFormat], Res::get("TT_FORMAT"));
  EXPECT_EQ(v.tooltip[Control::btnRefresh], Res::get("TT_REFRESH"));
  EXPECT_EQ(v.tooltip[Control::cbxSticks], Res::get("TT_STICKS"));
  EXPECT_EQ(v.tooltip[Control::chkKeep], Res::get("TT_BACKUP"));
  EXPECT_EQ(v.tooltip.size(), 5u);
  EXPECT_FALSE(v.visible_control(Control::prgFormat));
  EXPECT_EQ(v.focus, Control::cbxSticks);
  EXPECT_EQ(toolkit.log, std::vector<std::string>{"scan"});
}

TEST_F(MainWindow, CheckBoxFollowsFormatAndBackupOptions) {
  struct Case {
    bool backup, format, enabled, checked;
  } cases[] = {{true, true, true, true},
               {false, true, true, false},
               {true, false, false, false},
               {false, false, false, false}};
  for (const Case &c : cases) {
    process.backup(c.backup);
    process.format(c.format);
    auto window = open();
    EXPECT_EQ(view().enabled(Control::chkKeep), c.enabled)
        << c.backup << c.format;
    EXPECT_EQ(view().checked, c.checked) << c.backup << c.format;
  }
}

TEST_F(MainWindow, RefreshSelectsOnlyASingleDisk) {
  attached.clear();
  auto window = open();
  EXPECT_TRUE(view().items.empty());
  EXPECT_EQ(view().hint, "Refresh to search for devices.");
  EXPECT_FALSE(view().enabled(Control::btnFormat));
  EXPECT_EQ(window->stick(), nullptr);

  attached = {{'E', "Stick"}};
  ASSERT_TRUE(view().click(Control::btnRefresh));
  EXPECT_EQ(view().items, std::vector<std::string>{"E:\\ Stick (1000 MB)"});
  EXPECT_EQ(view().selected, 0u);
  EXPECT_TRUE(view().enabled(Control::btnFormat));
  EXPECT_EQ(window->stick(), window->usbs().disks.at(0));

  attached = {{'E', "Stick"}, {'F', "Other"}};
  ASSERT_TRUE(view().click(Control::btnRefresh));
  EXPECT_EQ(view().items.size(), 2u);
  EXPECT_EQ(view().selected, no_selection);
  EXPECT_EQ(view().hint, "Select a device.");
  EXPECT_FALSE(view().enabled(Control::btnFormat));
  EXPECT_EQ(window->stick(), nullptr);

  ASSERT_TRUE(view().pick(1));
  EXPECT_TRUE(view().enabled(Control::btnFormat));
  EXPECT_EQ(window->stick()->letter, 'F');
}

TEST_F(MainWindow, SelectionReportedBackByTheToolkitEndsThere) {
  attached = {{'E', "Stick"}, {'F', "Other"}};
  auto window = open();
  view().reports_selection = true;
  window->select(1);
  EXPECT_EQ(view().selected, 1u);
  EXPECT_EQ(window->stick()->letter, 'F');
  window->select(no_selection);
  EXPECT_EQ(window->stick(), nullptr);
  EXPECT_FALSE(view().enabled(Control::btnFormat));
  // A position past the list selects nothing rather than a stale disk.
  window->select(7);
  EXPECT_EQ(view().selected, no_selection);
  EXPECT_EQ(window->stick(), nullptr);
}

TEST_F(MainWindow, SelectLetter) {
  attached = {{'E', "Stick"}, {'F', "Other"}};
  auto window = open();
  window->select_letter(0);
  EXPECT_EQ(window->stick(), nullptr);
  EXPECT_TRUE(view().enabled(Control::cbxSticks));

  try {
    window->select_letter('Q');
    FAIL() << "an unlisted letter was accepted";
  } catch (const Error &e) {
    EXPECT_STREQ(e.what(), "Q:\\ is not a USB drive.");
  }
  EXPECT_THROW(window->select_letter('f'), Error); // exact comparison
  EXPECT_EQ(window->stick(), nullptr);
  EXPECT_TRUE(view().enabled(Control::cbxSticks));
  EXPECT_TRUE(view().enabled(Control::btnRefresh));

  window->select_letter('F');
  EXPECT_EQ(window->stick()->letter, 'F');
  EXPECT_EQ(view().selected, 1u);
  EXPECT_TRUE(view().enabled(Control::btnFormat));
  EXPECT_FALSE(view().enabled(Control::cbxSticks));
  EXPECT_FALSE(view().enabled(Control::btnRefresh));
  EXPECT_EQ(view().focus, Control::btnFormat);
}

TEST_F(MainWindow, ConfirmationDependsOnTheCheckBox) {
  auto window = open();
  // Checked, answered No: nothing starts.
  ASSERT_TRUE(view().click(Control::btnFormat));
  ASSERT_EQ(view().boxes.size(), 1u);
  EXPECT_EQ(view().boxes[0].text, Res::get("MSG_BACKUP"));
  EXPECT_EQ(view().boxes[0].title, "Warning!");
  EXPECT_TRUE(view().boxes[0].yes_no);
  EXPECT_EQ(toolkit.workers, 0);
  EXPECT_TRUE(view().window_enabled);

  // Checked, answered Yes: a run with backup.
  view().answers = {true};
  ASSERT_TRUE(view().click(Control::btnFormat));
  EXPECT_EQ(toolkit.workers, 1);
  EXPECT_TRUE(backup_during_run);
  EXPECT_TRUE(ran_off_window_thread);
  toolkit.pump();

  // Unchecked: the other question; Yes runs without backup.
  ASSERT_TRUE(view().tick(false));
  view().answers = {true};
  ASSERT_TRUE(view().click(Control::btnFormat));
  EXPECT_EQ(view().boxes.at(3).text, Res::get("MSG_NO_BACKUP"));
  EXPECT_EQ(view().boxes.at(3).title, Res::get("MSG_TITLE_NO_BACKUP"));
  EXPECT_EQ(toolkit.workers, 2);
  EXPECT_FALSE(backup_during_run);
  EXPECT_FALSE(process.backup());
}

TEST_F(MainWindow, WithoutFormatNoQuestionAndNoBackup) {
  process.format(false);
  process.backup(true);
  auto window = open();
  view().checked = true; // even a ticked disabled box makes no backup
  ASSERT_TRUE(view().click(Control::btnFormat));
  EXPECT_EQ(toolkit.workers, 1);
  EXPECT_FALSE(backup_during_run);
  toolkit.pump();
  ASSERT_EQ(view().boxes.size(), 1u);
  EXPECT_FALSE(view().boxes[0].yes_no);
}

TEST_F(MainWindow, NothingHappensWithoutADisk) {
  attached.clear();
  auto window = open();
  window->btnFormat_Click();
  EXPECT_TRUE(view().boxes.empty());
  EXPECT_EQ(toolkit.workers, 0);
}

TEST_F(MainWindow, RunningWindowIsDisabledAndWorkerTouchesNoControl) {
  process.format(false);
  auto window = open();
  ASSERT_TRUE(view().click(Control::btnFormat));
  // The worker has finished; everything it reported waits in the queue.
  EXPECT_EQ(ran_on, window->stick());
  EXPECT_EQ(toolkit.queued(), 3u);
  EXPECT_FALSE(view().window_enabled);
  EXPECT_FALSE(view().enabled(Control::cbxSticks));
  EXPECT_TRUE(view().visible_control(Control::prgFormat));
  EXPECT_EQ(view().progress_shown, std::vector<int>{0});
  EXPECT_EQ(view().text[Control::btnFormat], "Format");
  for (Control c : {Control::btnFormat, Control::btnRefresh,
                    Control::btnAbout, Control::cbxSticks, Control::chkKeep})
    EXPECT_FALSE(view().usable(c));

  // A second start while running is refused.
  window->btnFormat_Click();
  EXPECT_EQ(toolkit.workers, 1);

  toolkit.pump();
  EXPECT_EQ(view().progress_shown, (std::vector<int>{0, 10, 15, 20}));
  ASSERT_EQ(view().boxes.size(), 1u);
  const MainRecord::Box &result = view().boxes[0];
  EXPECT_EQ(result.text, "Format Successful!");
  EXPECT_EQ(result.title, "Format successful!");
  EXPECT_FALSE(result.yes_no);
  // Controls are back before the box appears.
  EXPECT_TRUE(result.window_enabled);
  EXPECT_FALSE(result.bar_visible);
  EXPECT_EQ(result.format_caption, "Format");
  EXPECT_EQ(view().progress, 20);
}

TEST_F(MainWindow, ProgressIsTruncatedTwentieths) {
  auto window = open();
  struct Case {
    double fraction;
    int shown;
  } cases[] = {{0.5, 10}, {0.34, 6}, {0.0, 0},  {1.0, 20}, {0.049, 0},
               {0.999, 19}, {2.0 / 3, 13}, {1.5, 20}, {-0.2, 0}};
  for (const Case &c : cases) {
    window->progress(c.fraction, "step");
    EXPECT_EQ(view().progress, c.shown) << c.fraction;
  }
  window->progress(0.2, "Writing files.");
  EXPECT_EQ(view().text[Control::btnFormat], "Writing files.");
}

TEST_F(MainWindow, ProgressFromAnotherThreadIsPostedInOrder) {
  auto window = open();
  std::thread worker([&] {
    window->progress(0.5, "one");
    window->progress(0.34, "two");
  });
  worker.join();
  EXPECT_EQ(view().progress, 0);
  EXPECT_EQ(view().text[Control::btnFormat], "Format");
  EXPECT_EQ(toolkit.pump(), 2);
  EXPECT_EQ(view().progress_shown.back(), 6);
  EXPECT_EQ(view().text[Control::btnFormat], "two");
}

TEST_F(MainWindow, ResultBoxComesBeforeListenersInOrderThenRescan) {
  process.format(false);
  auto window = open();
  window->OnFormatFinish.subscribe(first_listener);
  window->OnFormatFinish.subscribe(second_listener);
  toolkit.log.clear();
  ASSERT_TRUE(view().click(Control::btnFormat));
  toolkit.pump();
  EXPECT_EQ(toolkit.log,
            (std::vector<std::string>{"message: Format Successful!",
                                      "finish 1", "finish 2", "scan"}));
  EXPECT_EQ(sender_heard, window.get());
  ASSERT_EQ(disks_heard.size(), 1u);
  EXPECT_EQ(disks_heard[0], ran_on);
  EXPECT_EQ(failures_heard[0], nullptr);
}

TEST_F(MainWindow, FailedRunReportsTheFailureAndReturnsToIdle) {
  process.format(false);
  run_failure = "The stick could not be formatted.";
  auto window = open();
  window->OnFormatFinish.subscribe(first_listener);
  ASSERT_TRUE(view().click(Control::btnFormat));
  toolkit.pump();
  ASSERT_EQ(view().boxes.size(), 1u);
  EXPECT_EQ(view().boxes[0].text, "The stick could not be formatted.");
  EXPECT_EQ(view().boxes[0].title, "Format failed!");
  ASSERT_EQ(failures_heard.size(), 1u);
  EXPECT_EQ(message_of(failures_heard[0]), run_failure);
  EXPECT_EQ(toolkit.log.back(), "scan");
  // Idle again, the only disk selected by the rescan.
  EXPECT_TRUE(view().window_enabled);
  EXPECT_TRUE(view().usable(Control::cbxSticks));
  EXPECT_TRUE(view().usable(Control::btnFormat));
  EXPECT_FALSE(view().visible_control(Control::prgFormat));
  EXPECT_EQ(view().text[Control::btnFormat], "Format");
  EXPECT_EQ(window->stick(), window->usbs().disks.at(0));
  EXPECT_NE(window->stick(), ran_on); // a fresh scan, a fresh disk
}

TEST_F(MainWindow, FailureMessageGoesThroughTheFailText) {
  process.format(false);
  run_failure = "Broken.";
  Res::set("MSG_FORMAT_FAIL", "It failed: {0}");
  auto window = open();
  ASSERT_TRUE(view().click(Control::btnFormat));
  toolkit.pump();
  EXPECT_EQ(view().boxes.at(0).text, "It failed: Broken.");
}

TEST_F(MainWindow, MissingResultTextCountsAsFailure) {
  process.format(false);
  auto window = open();
  window->OnFormatFinish.subscribe(first_listener);
  ASSERT_TRUE(view().click(Control::btnFormat));
  // The table loses the success texts before the result is collected.
  std::vector<std::pair<std::string, std::string>> kept;
  for (const char *key : {"MSG_FORMAT_FAIL", "MSG_TITLE_FORMAT_FAIL",
                          "RES_ERR_LANG", "USB_REPR", "UI_STICKS_REFRESH",
                          "UI_STICKS_SELECT"})
    kept.emplace_back(key, Res::get(key));
  Res::clear();
  for (const auto &[key, text] : kept)
    Res::set(key, text);
  toolkit.pump();
  ASSERT_EQ(view().boxes.size(), 1u);
  EXPECT_EQ(view().boxes[0].title, "Format failed!");
  EXPECT_NE(view().boxes[0].text.find("MSG_FORMAT_SUCCESS"), std::string::npos);
  ASSERT_EQ(failures_heard.size(), 1u);
  EXPECT_NE(failures_heard[0], nullptr);
  EXPECT_TRUE(view().window_enabled);
}

TEST_F(MainWindow, BrokenFailTextStillShowsTheFailure) {
  process.format(false);
  run_failure = "Broken.";
  Res::set("MSG_FORMAT_FAIL", "{4}");
  auto window = open();
  window->OnFormatFinish.subscribe(first_listener);
  ASSERT_TRUE(view().click(Control::btnFormat));
  toolkit.pump();
  ASSERT_EQ(view().boxes.size(), 1u);
  EXPECT_EQ(view().boxes[0].text, "Broken.");
  EXPECT_EQ(message_of(failures_heard.at(0)), "Broken.");
  EXPECT_TRUE(view().window_enabled);
}

TEST_F(MainWindow, ListenerThatClosesTheWindowEndsTheRunQuietly) {
  process.format(false);
  auto window = open();
  window->OnFormatFinish.subscribe(closing_listener);
  window->OnFormatFinish.subscribe(second_listener);
  toolkit.log.clear();
  ASSERT_TRUE(view().click(Control::btnFormat));
  // The view refuses any control use after closing, so a rescan would throw.
  EXPECT_NO_THROW(toolkit.pump());
  EXPECT_EQ(toolkit.log,
            (std::vector<std::string>{"message: Format Successful!",
                                      "finish closing", "close main",
                                      "finish 2"}));
  EXPECT_TRUE(view().closed);
}

TEST_F(MainWindow, RescanAfterRunKeepsOnlyASingleDiskSelected) {
  attached = {{'E', "Stick"}, {'F', "Other"}};
  process.format(false);
  auto window = open();
  ASSERT_TRUE(view().pick(0));
  ASSERT_TRUE(view().click(Control::btnFormat));
  toolkit.pump();
  EXPECT_EQ(window->stick(), nullptr);
  EXPECT_EQ(view().hint, "Select a device.");
  EXPECT_FALSE(view().enabled(Control::btnFormat));
}

TEST_F(MainWindow, LockBySelectLetterOutlivesARun) {
  attached = {{'E', "Stick"}, {'F', "Other"}};
  process.format(false);
  auto window = open();
  window->select_letter('E');
  ASSERT_FALSE(view().pick(1));
  ASSERT_FALSE(view().click(Control::btnRefresh));
  ASSERT_TRUE(view().click(Control::btnFormat));
  toolkit.pump();
  EXPECT_TRUE(view().enabled(Control::cbxSticks));
  EXPECT_FALSE(view().enabled(Control::btnRefresh));
}

// A window destroyed from outside during a run never touches a control
// again; the run's end is told through the toolkit instead of the window.
TEST_F(MainWindow, EndOfARunWhoseWindowWentIsToldWithoutIt) {
  process.format(false);
  run_failure = "Could not restore backup from '/tmp/CORVANTIX-2'.";
  auto window = open();
  window->OnFormatFinish.subscribe(first_listener);
  ASSERT_TRUE(view().click(Control::btnFormat));
  view().destroy();
  EXPECT_EQ(toolkit.pump(), 3);
  ASSERT_EQ(toolkit.boxes.size(), 1u);
  EXPECT_EQ(toolkit.boxes[0].text, run_failure);
  EXPECT_EQ(toolkit.boxes[0].title, "Format failed!");
  EXPECT_TRUE(view().boxes.empty());
  EXPECT_EQ(view().progress_shown, std::vector<int>{0});
  EXPECT_TRUE(failures_heard.empty());
  EXPECT_TRUE(window->wait_for_run());
  EXPECT_EQ(toolkit.boxes.size(), 1u);
}

TEST_F(MainWindow, WaitingForARunThatOutlivesItsWindow) {
  process.format(false);
  toolkit.concurrent_workers = true;
  std::promise<void> gone;
  std::shared_future<void> window_gone = gone.get_future().share();
  MainWindowServices held = services();
  held.run = [window_gone, run = held.run](const UsbDiskPtr &disk,
                                           const ProgressCallback &report) {
    window_gone.wait();
    run(disk, report);
  };
  frmCorvantix window(process, toolkit, held);
  window.view().show();
  window.btnAbout_Click();
  ASSERT_TRUE(view().click(Control::btnFormat));
  view().destroy();
  gone.set_value();
  EXPECT_TRUE(window.wait_for_run());
  EXPECT_EQ(toolkit.workers_busy_at_box, std::vector<int>{0});
  ASSERT_EQ(toolkit.boxes.size(), 1u);
  EXPECT_EQ(toolkit.boxes[0].text, "Format Successful!");
  EXPECT_TRUE(toolkit.about().closed);
  // What the worker posted meanwhile finds the window gone.
  EXPECT_NO_THROW(toolkit.pump());
  EXPECT_TRUE(view().boxes.empty());
  EXPECT_TRUE(window.wait_for_run());
  EXPECT_EQ(toolkit.boxes.size(), 1u);
}

TEST_F(MainWindow, AClosedWindowWithoutARunWaitsForNothing) {
  auto window = open();
  view().destroy();
  EXPECT_FALSE(window->wait_for_run());
  EXPECT_TRUE(toolkit.boxes.empty());
}

TEST_F(MainWindow, WindowWithoutWorkerFailsTheRunInsteadOfHanging) {
  process.format(false);
  toolkit.refuse_workers = true;
  auto window = open();
  window->OnFormatFinish.subscribe(first_listener);
  ASSERT_TRUE(view().click(Control::btnFormat));
  ASSERT_EQ(view().boxes.size(), 1u);
  EXPECT_EQ(view().boxes[0].text, "No worker thread.");
  EXPECT_TRUE(view().window_enabled);
  EXPECT_EQ(failures_heard.size(), 1u);
}

TEST_F(MainWindow, ScanFailuresReachTheCaller) {
  scan_failure = "The inventory is not available.";
  EXPECT_THROW(open(), Error);
  // The partly built window has been released.
  EXPECT_TRUE(toolkit.main().closed);

  scan_failure = nullptr;
  auto window = open();
  scan_failure = "The inventory is not available.";
  EXPECT_THROW(view().click(Control::btnRefresh), Error);
}

// Clicks that COM delivers while the inventory is asked start neither a
// scan inside the scan nor a run on the stick of the list being replaced.
TEST_F(MainWindow, ClicksDuringAScanWaitForIt) {
  auto window = open();
  UsbDiskPtr before = window->stick();
  during_scan = [&] {
    view().click(Control::btnRefresh);
    view().click(Control::btnFormat);
  };
  ASSERT_TRUE(view().click(Control::btnRefresh));
  EXPECT_EQ(std::count(toolkit.log.begin(), toolkit.log.end(), "scan"), 2);
  EXPECT_TRUE(view().boxes.empty());
  EXPECT_EQ(ran_on, nullptr);
  EXPECT_EQ(view().items, std::vector<std::string>{"E:\\ Stick (1000 MB)"});
  EXPECT_NE(window->stick(), before);
}

// An inventory that does not answer in time is said in a box; the window
// opens or stays, with an empty list, and Refresh asks again.
TEST_F(MainWindow, AScanThatRunsOutOfTimeIsAMessageAndAnEmptyList) {
  scan_timeout = "Windows did not list its drives within 15 seconds.";
  auto window = open();
  ASSERT_EQ(view().boxes.size(), 1u);
  EXPECT_EQ(view().boxes[0].text, scan_timeout);
  EXPECT_EQ(view().boxes[0].title, "No drive list");
  EXPECT_FALSE(view().boxes[0].yes_no);
  EXPECT_TRUE(view().items.empty());
  EXPECT_EQ(view().hint, Res::get("UI_STICKS_REFRESH"));
  EXPECT_FALSE(view().enabled(Control::btnFormat));
  EXPECT_EQ(window->stick(), nullptr);

  scan_timeout = nullptr;
  ASSERT_TRUE(view().click(Control::btnRefresh));
  EXPECT_EQ(view().items, std::vector<std::string>{"E:\\ Stick (1000 MB)"});
  EXPECT_TRUE(view().enabled(Control::btnFormat));

  // A list that was there goes with a scan that runs out.
  scan_timeout = "Windows did not list its drives within 15 seconds.";
  ASSERT_TRUE(view().click(Control::btnRefresh));
  EXPECT_EQ(view().boxes.size(), 2u);
  EXPECT_TRUE(view().items.empty());
  EXPECT_EQ(window->stick(), nullptr);
}

TEST_F(MainWindow, AboutOpensOneWindowAtATime) {
  auto window = open();
  ASSERT_TRUE(view().click(Control::btnAbout));
  ASSERT_EQ(toolkit.abouts.size(), 1u);
  EXPECT_TRUE(toolkit.about().visible());
  EXPECT_EQ(toolkit.about().title, "About/Help");
  EXPECT_TRUE(view().window_enabled); // not modal

  ASSERT_TRUE(view().click(Control::btnAbout));
  EXPECT_EQ(toolkit.abouts.size(), 1u);

  toolkit.about().closed = true; // the user closes it
  ASSERT_TRUE(view().click(Control::btnAbout));
  ASSERT_EQ(toolkit.abouts.size(), 2u);
  EXPECT_TRUE(toolkit.about().visible());

  // Closing the main window closes the about window it opened.
  window->close();
  EXPECT_TRUE(toolkit.about().closed);
}

TEST_F(MainWindow, DestroyingTheWindowClosesItsAboutWindow) {
  auto window = open();
  ASSERT_TRUE(view().click(Control::btnAbout));
  window.reset();
  EXPECT_TRUE(toolkit.about().closed);
  EXPECT_TRUE(toolkit.main().closed);
}

void count_a(int &n) { n += 1; }
void count_b(int &n) { n *= 10; }

TEST(FormatFinishEvent, SubscribeAppendsUnsubscribeRemovesTheLatest) {
  Event<int &> event;
  int n = 0;
  event.raise(n); // no listener: nothing
  EXPECT_EQ(n, 0);

  event.subscribe(count_a);
  event.subscribe(count_b);
  event.subscribe(count_a);
  event.raise(n); // ((0 + 1) * 10) + 1
  EXPECT_EQ(n, 11);

  event.unsubscribe(count_a); // the last a goes
  n = 0;
  event.raise(n); // (0 + 1) * 10
  EXPECT_EQ(n, 10);

  event.unsubscribe(count_a);
  event.unsubscribe(count_a); // none left: nothing
  n = 1;
  event.raise(n);
  EXPECT_EQ(n, 10);
  EXPECT_EQ(event.size(), 1u);
}

} // namespace
