// An event with any number of listeners, each a plain function. Listeners
// are compared by address, so the same function may be subscribed twice
// and unsubscribed once per subscription.
#pragma once

#include <algorithm>
#include <vector>

namespace corvantix {

template <typename... Args> class Event {
public:
  using Handler = void (*)(Args...);

  /// Appends a subscription.
  void subscribe(Handler handler) { handlers_.push_back(handler); }

  /// Removes the latest subscription of `handler`; nothing if there is none.
  void unsubscribe(Handler handler) {
    auto last = std::find(handlers_.rbegin(), handlers_.rend(), handler);
    if (last != handlers_.rend())
      handlers_.erase(std::next(last).base());
  }

  /// Calls every listener in the order of subscription. A listener that
  /// subscribes or unsubscribes while it runs changes the next raise only.
  void raise(Args... args) const {
    std::vector<Handler> snapshot = handlers_;
    for (Handler handler : snapshot)
      handler(args...);
  }

  std::size_t size() const { return handlers_.size(); }

private:
  std::vector<Handler> handlers_;
};

} // namespace corvantix
