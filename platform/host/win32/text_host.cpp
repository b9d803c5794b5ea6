#include "platform/text.h"

namespace corvantix::platform {

// The emulated machine's ANSI code page is UTF-8.
std::string to_ansi(const std::string &utf8) { return utf8; }
std::string from_ansi(const std::string &ansi) { return ansi; }

} // namespace corvantix::platform
