#include "strings/error.h"

namespace corvantix {

std::string message_of(const std::exception_ptr &failure) {
  if (!failure)
    return {};
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception &e) {
    return e.what();
  } catch (...) {
    return "Unknown failure.";
  }
}

std::string describe_chain(const std::exception_ptr &failure,
                           const std::string &above) {
  std::string text;
  std::string previous = above;
  for (std::exception_ptr link = failure; link;) {
    std::string message = message_of(link);
    if (message != previous)
      text += (text.empty() ? "" : "\n") + message;
    previous = message;
    try {
      std::rethrow_exception(link);
    } catch (const Error &e) {
      link = e.cause();
    } catch (...) {
      link = nullptr;
    }
  }
  return text;
}

} // namespace corvantix
