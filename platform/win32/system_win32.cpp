#include "platform/system.h"

#include "platform/win32/text.h"

#include <windows.h>

namespace corvantix::platform {

std::string user_language_tag() {
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  LCID lcid = MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT);
  if (LCIDToLocaleName(lcid, name, LOCALE_NAME_MAX_LENGTH, 0) == 0)
    return "en-US";
  return win32::narrow(name);
}

std::string program_folder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    if (length == 0)
      return ".";
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  return win32::narrow(path.substr(0, path.find_last_of(L"\\/")));
}

char path_separator() { return '\\'; }

std::string system_message(std::uint32_t code) {
  wchar_t *buffer = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
  if (length == 0 || !buffer)
    return "Error " + std::to_string(code) + ".";
  std::wstring text(buffer, length);
  LocalFree(buffer);
  // The system's texts end in a line break.
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' ||
                           text.back() == L' '))
    text.pop_back();
  return win32::narrow(text);
}

} // namespace corvantix::platform
