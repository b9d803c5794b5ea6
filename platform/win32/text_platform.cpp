#include "platform/text.h"
#include "platform/win32/text.h"

namespace corvantix::platform {

std::string to_ansi(const std::string &utf8) { return win32::to_ansi(utf8); }
std::string from_ansi(const std::string &ansi) { return win32::from_ansi(ansi); }

} // namespace corvantix::platform
