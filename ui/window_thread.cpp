#include "ui/window_thread.h"

#include <utility>

namespace corvantix {

void WindowThread::push(std::function<void()> call) {
  std::lock_guard lock(mutex_);
  posted_.push_back(std::move(call));
}

void WindowThread::drain() {
  if (draining_)
    return;
  draining_ = true;
  while (run_next()) {
  }
  draining_ = false;
}

bool WindowThread::run_next() {
  std::function<void()> call;
  {
    std::lock_guard lock(mutex_);
    if (posted_.empty())
      return false;
    call = std::move(posted_.front());
    posted_.pop_front();
  }
  guard(call);
  return true;
}

WindowView *WindowThread::enter(WindowView &window) {
  return std::exchange(running_, &window);
}

void WindowThread::leave(WindowView *outer) {
  running_ = outer;
  if (std::exception_ptr failure = std::exchange(failure_, nullptr))
    std::rethrow_exception(failure);
}

void WindowThread::fail(std::exception_ptr failure) noexcept {
  if (!failure_)
    failure_ = failure;
  if (running_)
    running_->close();
}

} // namespace corvantix
