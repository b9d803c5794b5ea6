// What every toolkit keeps for its window thread: the calls posted to it,
// run in posting order, and the first failure of a handler, which closes the
// running window and is raised again when that window's run ends.
#pragma once

#include "ui/view.h"

#include <deque>
#include <exception>
#include <functional>
#include <mutex>

namespace corvantix {

class WindowThread {
public:
  /// Queues a call from any thread; the toolkit then wakes the window
  /// thread, which runs it with drain().
  void push(std::function<void()> call);

  /// Runs the queued calls in order, each guarded; calls posted meanwhile
  /// run too. A drain entered again from a nested loop returns at once, so
  /// the order holds even while a call waits in a message box.
  void drain();

  /// Runs the first queued call, guarded, even from within a drain; false
  /// when none is queued.
  bool run_next();

  /// Runs a handler so that its failure never unwinds through the toolkit:
  /// the failure is kept and the running window is closed.
  template <typename Handler> void guard(Handler &&handler) noexcept {
    try {
      handler();
    } catch (...) {
      fail(std::current_exception());
    }
  }

  /// `window` runs from now on; returns the window that ran before.
  WindowView *enter(WindowView &window);
  /// The run of the current window has ended and `outer` runs again; the
  /// kept failure, if any, is raised.
  void leave(WindowView *outer);

private:
  void fail(std::exception_ptr failure) noexcept;

  std::mutex mutex_;
  std::deque<std::function<void()>> posted_;
  bool draining_ = false;
  std::exception_ptr failure_;
  WindowView *running_ = nullptr;
};

} // namespace corvantix
