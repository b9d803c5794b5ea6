// Facts about the machine and the process that the system code asks for.
#pragma once

#include <cstdint>
#include <string>

namespace corvantix::platform {

/// The user's interface language as an IETF tag such as "de-DE".
std::string user_language_tag();

/// The full path of the folder that holds the program file.
std::string program_folder();

/// The platform's directory separator.
char path_separator();

/// The system's one-line text for a Win32 error code; "Error N." when the
/// system has none.
std::string system_message(std::uint32_t code);

} // namespace corvantix::platform
