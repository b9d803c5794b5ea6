// The host build's window toolkit: GTK 3 with WebKitGTK for the HTML view.
// Without a display (no DISPLAY or WAYLAND_DISPLAY, or one that cannot be
// opened) message boxes go to the error stream, answered with their first
// button, and windows cannot be built.
#pragma once

#include "ui/toolkit.h"
#include "ui/window_thread.h"

#include <exception>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

namespace corvantix {

class HostToolkit : public Toolkit {
public:
  /// Opens the display, if there is one; the calling thread becomes the
  /// window thread.
  HostToolkit();
  ~HostToolkit() override;
  HostToolkit(const HostToolkit &) = delete;
  HostToolkit &operator=(const HostToolkit &) = delete;

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

  /// True when windows can be shown.
  bool has_display() const { return display_; }

  /// Runs a view's handler from a GTK callback: a failure must not unwind
  /// through GTK, so it is kept, the running window is closed and `run`
  /// rethrows it.
  template <typename Handler> void guard(Handler &&handler) noexcept {
    window_thread_calls_.guard(std::forward<Handler>(handler));
  }

private:
  void require_display() const;

  std::thread::id window_thread_;
  bool display_ = false;
  WindowThread window_thread_calls_;
  std::vector<std::thread> workers_;
};

} // namespace corvantix
