// The window toolkit services that the system relies on. The product uses
// native Win32; the host build uses GTK; tests use a scripted toolkit.
//
// The window thread is the thread that created the toolkit and runs `run`;
// every window and control belongs to it. Other threads reach it only
// through `post`.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace corvantix {

class AboutEvents;
class AboutView;
class MainEvents;
class MainView;
class WindowView;

class Toolkit {
public:
  enum class Buttons { Ok, YesNo };
  enum class Answer { Ok, Yes, No };

  virtual ~Toolkit() = default;

  /// Turns on the platform's visual styles; called once before any window.
  virtual void enable_visual_styles() = 0;

  /// A modal message box without an owner window; blocks the calling thread
  /// until the user dismisses it. May be called from any thread.
  virtual Answer message_box(const std::string &text, const std::string &title,
                             Buttons buttons) = 0;

  /// Tells the person something when no window of the program is left to
  /// show it: the main window went away (closed from outside, the display
  /// lost, the program told to end) while its run went on to its end.
  virtual void note(const std::string &text, const std::string &title) {
    message_box(text, title, Buttons::Ok);
  }

  // The operations below have windows behind them. A toolkit that shows no
  // windows (start-up tests) need not provide them.

  /// Builds the main window, hidden, with every control of ui/view.h;
  /// `events` receives its handlers and outlives the view.
  virtual std::unique_ptr<MainView> create_main_view(MainEvents &events) {
    (void)events;
    throw std::logic_error("this toolkit has no windows");
  }

  /// Builds the about window with its HTML view, hidden; `events` receives
  /// its handlers and outlives the view.
  virtual std::unique_ptr<AboutView> create_about_view(AboutEvents &events) {
    (void)events;
    throw std::logic_error("this toolkit has no windows");
  }

  /// Runs `window` as the application's main window: shows it and
  /// dispatches events until it is closed, then returns. A failure that
  /// escapes an event handler or a posted call closes the window, ends the
  /// loop and is rethrown from here.
  virtual void run(WindowView &window) {
    (void)window;
    throw std::logic_error("this toolkit has no windows");
  }

  /// Queues `call` to run on the window thread and returns at once; queued
  /// calls run in the order of posting. Callable from any thread.
  virtual void post(std::function<void()> call) {
    (void)call;
    throw std::logic_error("this toolkit has no windows");
  }

  /// True on every thread but the window thread.
  virtual bool posting_needed() const { return false; }

  /// Runs `work` on a thread-pool thread and returns at once; afterwards
  /// `completion` runs on that same thread with the failure that escaped
  /// `work`, or null. `completion` does not throw.
  virtual void run_worker(std::function<void()> work,
                          std::function<void(std::exception_ptr)> completion) {
    (void)work;
    (void)completion;
    throw std::logic_error("this toolkit has no worker threads");
  }
};

} // namespace corvantix
