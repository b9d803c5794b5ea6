// The host toolkit's services that need no display: posting to the main
// loop, worker threads, failures inside the loop, and the stand-ins for
// windows when there is no display.
#include "platform/host/gtk/toolkit_host.h"
#include "strings/error.h"
#include "ui/view.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <thread>
#include <vector>

namespace corvantix {
namespace {

// A window that only records that it has been closed; closing it ends
// Toolkit::run.
struct LoopWindow : WindowView {
  bool closed = false;
  bool shown = false;
  void show() override { shown = true; }
  void close() override { closed = true; }
  bool is_closed() const override { return closed; }
  bool is_visible() const override { return shown && !closed; }
  void set_title(const std::string &) override {}
};

struct NoEvents : MainEvents, AboutEvents {
  void btnRefresh_Click() override {}
  void cbxSticks_SelectedValueChanged() override {}
  void btnFormat_Click() override {}
  void btnAbout_Click() override {}
  void frmAbout_Load() override {}
  bool webBrowser1_Navigating(const std::string &) override { return false; }
};

class HostToolkitTest : public testing::Test {
protected:
  // Never a display: these tests must not depend on one.
  void SetUp() override {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
  }
};

TEST_F(HostToolkitTest, PostedCallsRunOnTheWindowThreadInPostingOrder) {
  HostToolkit toolkit;
  LoopWindow window;
  const std::thread::id window_thread = std::this_thread::get_id();
  constexpr int threads = 4, calls = 300;
  std::map<int, std::vector<int>> seen;
  std::atomic<int> wrong_thread{0};
  int ran = 0;

  std::vector<std::thread> posters;
  for (int t = 0; t < threads; ++t)
    posters.emplace_back([&, t] {
      for (int i = 0; i < calls; ++i)
        toolkit.post([&, t, i] {
          if (std::this_thread::get_id() != window_thread)
            ++wrong_thread;
          seen[t].push_back(i);
          if (++ran == threads * calls)
            window.close();
        });
    });
  toolkit.run(window);
  for (std::thread &poster : posters)
    poster.join();

  EXPECT_TRUE(window.shown);
  EXPECT_EQ(wrong_thread, 0);
  ASSERT_EQ(ran, threads * calls);
  for (auto &[thread, order] : seen) {
    ASSERT_EQ(order.size(), std::size_t(calls)) << thread;
    for (int i = 0; i < calls; ++i)
      ASSERT_EQ(order[i], i) << "thread " << thread;
  }
}

TEST_F(HostToolkitTest, CallsPostedByACallRunAfterIt) {
  HostToolkit toolkit;
  LoopWindow window;
  std::vector<int> order;
  toolkit.post([&] {
    toolkit.post([&] {
      order.push_back(3);
      window.close();
    });
    order.push_back(1);
  });
  toolkit.post([&] { order.push_back(2); });
  toolkit.run(window);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(HostToolkitTest, PostingIsNeededOffTheWindowThreadOnly) {
  HostToolkit toolkit;
  EXPECT_FALSE(toolkit.posting_needed());
  bool from_other = false;
  std::thread([&] { from_other = toolkit.posting_needed(); }).join();
  EXPECT_TRUE(from_other);
}

TEST_F(HostToolkitTest, WorkersRunOffTheWindowThreadAndReportTheirOutcome) {
  HostToolkit toolkit;
  LoopWindow window;
  std::thread::id work_thread, completion_thread;
  std::exception_ptr first = std::make_exception_ptr(0), second;

  toolkit.run_worker([&] { work_thread = std::this_thread::get_id(); },
                     [&](std::exception_ptr failure) {
                       completion_thread = std::this_thread::get_id();
                       first = failure;
                       toolkit.post([&] { window.close(); });
                     });
  toolkit.run(window);
  EXPECT_NE(work_thread, std::this_thread::get_id());
  EXPECT_EQ(completion_thread, work_thread);
  EXPECT_FALSE(first);

  // A second run after the first has ended: its failure reaches the
  // completion.
  LoopWindow again;
  toolkit.run_worker([] { throw Error("step failed."); },
                     [&](std::exception_ptr failure) {
                       second = failure;
                       toolkit.post([&] { again.close(); });
                     });
  toolkit.run(again);
  ASSERT_TRUE(second);
  EXPECT_EQ(message_of(second), "step failed.");
}

TEST_F(HostToolkitTest, FailureInAPostedCallClosesTheWindowAndLeavesRun) {
  HostToolkit toolkit;
  LoopWindow window;
  toolkit.post([] { throw std::runtime_error("handler failed"); });
  try {
    toolkit.run(window);
    FAIL() << "run returned normally";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "handler failed");
  }
  EXPECT_TRUE(window.closed);

  // The toolkit stays usable, and the failure is not reported twice.
  LoopWindow next;
  toolkit.post([&] { next.close(); });
  EXPECT_NO_THROW(toolkit.run(next));
}

TEST_F(HostToolkitTest, WithoutDisplayBoxesGoToTheErrorStreamAndWindowsFail) {
  HostToolkit toolkit;
  EXPECT_FALSE(toolkit.has_display());
  testing::internal::CaptureStderr();
  Toolkit::Answer ok =
      toolkit.message_box("Format Successful!", "Format successful!",
                          Toolkit::Buttons::Ok);
  Toolkit::Answer yes =
      toolkit.message_box("Are you ready to proceed?", "", Toolkit::Buttons::YesNo);
  std::string written = testing::internal::GetCapturedStderr();
  EXPECT_EQ(ok, Toolkit::Answer::Ok);
  EXPECT_EQ(yes, Toolkit::Answer::Yes);
  EXPECT_EQ(written, "[Format successful!] Format Successful!\n"
                     "Are you ready to proceed?\n");

  NoEvents events;
  EXPECT_THROW(toolkit.create_main_view(events), Error);
  EXPECT_THROW(toolkit.create_about_view(events), Error);
}

} // namespace
} // namespace corvantix
