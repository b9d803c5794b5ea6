#include "platform/system.h"

#include "platform/host/win32/kernel32_control.h"

#include <cstdlib>
#include <filesystem>

namespace corvantix::platform {

// POSIX locale names: "de_DE.UTF-8" or "de_DE@euro" give "de-DE"; "C",
// "POSIX" and no setting at all give the default "en-US".
std::string user_language_tag() {
  const char *locale = nullptr;
  for (const char *variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char *value = std::getenv(variable);
    if (value && *value) {
      locale = value;
      break;
    }
  }
  if (!locale)
    return "en-US";
  std::string tag(locale);
  tag = tag.substr(0, tag.find_first_of(".@"));
  if (tag == "C" || tag == "POSIX" || tag.empty())
    return "en-US";
  for (char &c : tag)
    if (c == '_')
      c = '-';
  return tag;
}

std::string program_folder() {
  std::error_code error;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error)
    return std::filesystem::current_path().string();
  return exe.parent_path().string();
}

char path_separator() { return '/'; }

// The emulated kernel's text, as FormatMessageA gives it, on one line.
std::string system_message(std::uint32_t code) {
  const char *text = emulation::system_message(code);
  if (!text)
    return "Error " + std::to_string(code) + ".";
  std::string line(text);
  return line.substr(0, line.find_first_of("\r\n"));
}

} // namespace corvantix::platform
