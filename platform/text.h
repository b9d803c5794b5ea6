// Text in the system's 8-bit ANSI code page, as the ANSI forms of the Win32
// calls take it.
#pragma once

#include <string>

namespace corvantix::platform {

/// The UTF-8 text in the ANSI code page (the host's is UTF-8 itself).
std::string to_ansi(const std::string &utf8);

/// A text that an ANSI call gave (cp1252 on German Windows, say) in UTF-8.
std::string from_ansi(const std::string &ansi);

} // namespace corvantix::platform
