// The Win32 toolkit's services that need no display: posting to the window
// thread, the thread pool, failures inside the loop, and the pictures.
#include "platform/win32/toolkit_win32.h"
#include "platform/win32/win32_views.h"
#include "ui/view.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <atomic>
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

TEST(Win32Toolkit, PostedCallsRunOnTheWindowThreadInPostingOrder) {
  Win32Toolkit toolkit;
  LoopWindow window;
  const DWORD window_thread = GetCurrentThreadId();
  constexpr int threads = 4, calls = 300;
  std::map<int, std::vector<int>> seen;
  std::atomic<int> wrong_thread{0};
  int ran = 0;

  std::vector<std::thread> posters;
  for (int t = 0; t < threads; ++t)
    posters.emplace_back([&, t] {
      for (int i = 0; i < calls; ++i)
        toolkit.post([&, t, i] {
          if (GetCurrentThreadId() != window_thread)
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

TEST(Win32Toolkit, CallsPostedByACallRunAfterIt) {
  Win32Toolkit toolkit;
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

TEST(Win32Toolkit, PostingIsNeededOffTheWindowThreadOnly) {
  Win32Toolkit toolkit;
  EXPECT_FALSE(toolkit.posting_needed());
  bool from_other = false;
  std::thread([&] { from_other = toolkit.posting_needed(); }).join();
  EXPECT_TRUE(from_other);
}

TEST(Win32Toolkit, WorkerRunsOnAPoolThreadAndHandsItsOutcomeToTheCompletion) {
  Win32Toolkit toolkit;
  LoopWindow window;
  const DWORD window_thread = GetCurrentThreadId();
  DWORD work_thread = 0, completion_thread = 0;
  std::exception_ptr first = std::make_exception_ptr(0), second;
  std::atomic<int> completions{0};

  toolkit.run_worker([&] { work_thread = GetCurrentThreadId(); },
                     [&](std::exception_ptr failure) {
                       completion_thread = GetCurrentThreadId();
                       first = failure;
                       if (++completions == 2)
                         toolkit.post([&] { window.close(); });
                     });
  toolkit.run_worker([] { throw std::runtime_error("step failed"); },
                     [&](std::exception_ptr failure) {
                       second = failure;
                       if (++completions == 2)
                         toolkit.post([&] { window.close(); });
                     });
  toolkit.run(window);

  EXPECT_NE(work_thread, 0u);
  EXPECT_NE(work_thread, window_thread);
  EXPECT_EQ(completion_thread, work_thread);
  EXPECT_FALSE(first);
  ASSERT_TRUE(second);
  try {
    std::rethrow_exception(second);
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "step failed");
  }
}

TEST(Win32Toolkit, FailureInAPostedCallClosesTheWindowAndLeavesRun) {
  Win32Toolkit toolkit;
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

TEST(Win32Pictures, EmbeddedPicturesDecodeLaidOverWhite) {
  HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  {
    win32::Picture logo = win32::load_picture("logo.png");
    ASSERT_TRUE(logo);
    EXPECT_EQ(logo.width(), 142);
    EXPECT_EQ(logo.height(), 91);

    win32::Picture header = win32::load_picture("header.png");
    ASSERT_TRUE(header);
    EXPECT_EQ(header.width(), 142);
    EXPECT_EQ(header.height(), 91);
    // The header's grey gets darker downwards, and its see-through top
    // is almost the window's white.
    DIBSECTION section{};
    ASSERT_EQ(GetObjectW(header.handle(), sizeof(section), &section),
              int(sizeof(section)));
    auto *pixels = static_cast<const BYTE *>(section.dsBm.bmBits);
    int stride = section.dsBm.bmWidthBytes;
    BYTE top = pixels[0], bottom = pixels[90 * stride];
    EXPECT_GE(top, 245);
    EXPECT_LT(bottom, top);
    EXPECT_EQ(pixels[3], 255); // opaque once laid over white

    EXPECT_FALSE(win32::load_picture("no such picture.png"));
  }
  if (SUCCEEDED(com))
    CoUninitialize();
}

} // namespace
} // namespace corvantix
