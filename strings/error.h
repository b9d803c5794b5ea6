// The object layer's failure: a finished, localized message for the user,
// with the lower-level failure that caused it attached.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace corvantix {

class Error : public std::runtime_error {
public:
  explicit Error(const std::string &message,
                 std::exception_ptr cause = nullptr)
      : std::runtime_error(message), cause_(std::move(cause)) {}

  const std::exception_ptr &cause() const { return cause_; }

private:
  std::exception_ptr cause_;
};

/// The message of any failure, for showing or for wrapping in a new message.
std::string message_of(const std::exception_ptr &failure);

/// The messages of a failure and of its causes, outermost first, one a
/// line. A message that only repeats the one before it, or `above` (what is
/// already shown above the chain), is left out.
std::string describe_chain(const std::exception_ptr &failure,
                           const std::string &above = {});

} // namespace corvantix
