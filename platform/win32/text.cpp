#include "platform/win32/text.h"

#include <windows.h>

namespace corvantix::win32 {
namespace {

std::wstring to_wide(UINT code_page, const std::string &text) {
  if (text.empty())
    return {};
  int length = MultiByteToWideChar(code_page, 0, text.data(), int(text.size()),
                                   nullptr, 0);
  std::wstring wide(std::size_t(length), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), int(text.size()), wide.data(),
                      length);
  return wide;
}

std::string from_wide(UINT code_page, const std::wstring &wide) {
  if (wide.empty())
    return {};
  int length = WideCharToMultiByte(code_page, 0, wide.data(), int(wide.size()),
                                   nullptr, 0, nullptr, nullptr);
  std::string text(std::size_t(length), '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), int(wide.size()), text.data(),
                      length, nullptr, nullptr);
  return text;
}

} // namespace

std::wstring widen(const std::string &utf8) { return to_wide(CP_UTF8, utf8); }
std::string narrow(const std::wstring &utf16) {
  return from_wide(CP_UTF8, utf16);
}
std::string to_ansi(const std::string &utf8) {
  return from_wide(CP_ACP, widen(utf8));
}
std::string from_ansi(const std::string &ansi) {
  return narrow(to_wide(CP_ACP, ansi));
}

} // namespace corvantix::win32
