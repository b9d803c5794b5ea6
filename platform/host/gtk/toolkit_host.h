// The host build's window toolkit: GTK 3 with WebKitGTK for the HTML view.
// Without a display (no DISPLAY or WAYLAND_DISPLAY, or one that cannot be
// opened) message boxes go to the error stream, answered with their first
// button, and windows cannot be built.
//
// The program's end from outside. SIGTERM, SIGINT and SIGHUP reach the
// window thread through GLib's self-pipe and close the running window: a
// run under way goes on to its end (the window logic waits for it), and
// the program ends without asking anything more. A lost X connection
// cannot be returned from (GDK would go on drawing into it): inside Xlib's
// handler every window counts as closed, the window thread runs the posted
// calls until the run under way has ended on its worker, and the program
// ends there with exit code 1.
#pragma once

#include "platform/host/window_module.h"
#include "ui/toolkit.h"
#include "ui/window_thread.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace corvantix {

namespace gtk {
/// A GTK window of this toolkit, as the toolkit sees it when the display
/// is lost.
class ToolkitWindow {
public:
  /// The display is gone: count as closed and touch GTK no more.
  virtual void abandon() = 0;

protected:
  ~ToolkitWindow() = default;
};
} // namespace gtk

class HostToolkit : public WindowToolkit {
public:
  /// Opens the display, if there is one; the calling thread becomes the
  /// window thread. With a display, the signals that end a program are
  /// taken over (see above) until the toolkit goes.
  HostToolkit();
  ~HostToolkit() override;
  HostToolkit(const HostToolkit &) = delete;
  HostToolkit &operator=(const HostToolkit &) = delete;

  void enable_visual_styles() override;
  Answer message_box(const std::string &text, const std::string &title,
                     Buttons buttons) override;
  /// The error stream: the note is for whoever started the program.
  void note(const std::string &text, const std::string &title) override;
  std::unique_ptr<MainView> create_main_view(MainEvents &events) override;
  std::unique_ptr<AboutView> create_about_view(AboutEvents &events) override;
  void run(WindowView &window) override;
  void post(std::function<void()> call) override;
  bool posting_needed() const override;
  void run_worker(std::function<void()> work,
                  std::function<void(std::exception_ptr)> completion) override;

  bool has_display() const override { return display_ && !display_lost_; }
  /// True once the X connection has been lost.
  bool display_lost() const { return display_lost_; }
  int ending_signal() const override { return ending_signal_; }

  /// Runs a view's handler from a GTK callback: a failure must not unwind
  /// through GTK, so it is kept, the running window is closed and `run`
  /// rethrows it.
  template <typename Handler> void guard(Handler &&handler) noexcept {
    window_thread_calls_.guard(std::forward<Handler>(handler));
  }

  // For the GTK views: the windows and modal boxes that a lost display or
  // an ending signal must reach.
  void add_window(gtk::ToolkitWindow &window);
  void remove_window(gtk::ToolkitWindow &window);
  void add_box(void *dialog);
  void remove_box(void *dialog);

  /// What the X connection's fatal error does (public for Xlib's handler).
  [[noreturn]] void lose_display();

private:
  struct WorkerBox;

  void require_display() const;
  bool boxes_to_stream() const { return !has_display() || ending_signal_; }
  void end_by_signal(int signal);
  void end_modal_boxes();
  void answer_waiting_boxes();
  Answer box_for_worker(const std::string &text, const std::string &title,
                        Buttons buttons);

  std::thread::id window_thread_;
  bool display_ = false;
  std::atomic<bool> display_lost_{false};
  std::atomic<int> ending_signal_{0};
  struct SignalWatch {
    HostToolkit *toolkit;
    int signal;
    unsigned source;
  };
  std::vector<std::unique_ptr<SignalWatch>> signal_watches_;
  WindowThread window_thread_calls_;
  WindowView *running_ = nullptr; ///< the window that `run` runs
  int runs_ = 0;                  ///< nesting of `run`
  std::vector<gtk::ToolkitWindow *> windows_;
  std::vector<void *> modal_boxes_; ///< GtkDialog in gtk_dialog_run
  std::vector<std::thread> workers_;

  // What the window thread waits for once the display is lost: posted
  // calls and the end of workers.
  std::mutex wake_mutex_;
  std::condition_variable woken_;
  unsigned wakeups_ = 0;    ///< guarded by wake_mutex_
  int busy_workers_ = 0;    ///< likewise
  void wake(int workers_ending);

  // Boxes that workers wait for; the window thread shows them while it
  // runs a window, else they go to the error stream.
  std::mutex worker_boxes_mutex_;
  std::vector<std::shared_ptr<WorkerBox>> worker_boxes_;
};

} // namespace corvantix
