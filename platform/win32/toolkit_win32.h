// The Windows product's window toolkit: native Win32 windows and common
// controls, the WebBrowser control for the HTML view, the system thread
// pool for runs.
#pragma once

#include "ui/toolkit.h"
#include "ui/window_thread.h"

#include <exception>
#include <functional>
#include <utility>

#include <windows.h>

namespace corvantix {

class Win32Toolkit : public Toolkit {
public:
  /// The calling thread, a single-threaded apartment, becomes the window
  /// thread.
  Win32Toolkit();
  ~Win32Toolkit() override;
  Win32Toolkit(const Win32Toolkit &) = delete;
  Win32Toolkit &operator=(const Win32Toolkit &) = delete;

  void enable_visual_styles() override;
  Answer message_box(const std::string &text, const std::string &title,
                     Buttons buttons) override;
  std::unique_ptr<MainView> create_main_view(MainEvents &events) override;
  std::unique_ptr<AboutView> create_about_view(AboutEvents &events) override;
  void run(WindowView &window) override;
  void post(std::function<void()> call) override;
  bool posting_needed() const override;
  void run_worker(std::function<void()> work,
                  std::function<void(std::exception_ptr)> completion) override;

  /// Runs a view's handler from a window procedure: a failure must not
  /// unwind through the system, so it is kept, the running window is closed
  /// and `run` rethrows it.
  template <typename Handler> void guard(Handler &&handler) noexcept {
    window_thread_calls_.guard(std::forward<Handler>(handler));
  }

  /// The message that the message loop sends to a top-level window of ours
  /// before dispatching a message for it (lParam: the MSG). A nonzero
  /// result means the window has handled it (dialog keys, the HTML view's
  /// accelerators).
  static UINT pretranslate_message();

private:
  static LRESULT CALLBACK post_procedure(HWND, UINT, WPARAM, LPARAM);

  DWORD window_thread_;
  bool ole_ = false;
  HWND post_window_ = nullptr; ///< message-only window that runs posted calls
  WindowThread window_thread_calls_;
};

} // namespace corvantix
