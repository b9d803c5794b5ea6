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

bool starts_with(const std::wstring &text, const wchar_t *start) {
  return text.rfind(start, 0) == 0;
}

// "X:\\..." with backslashes only and no empty, "." or ".." part: what
// GetFullPathNameW would give back, apart from dots and spaces at the end
// of a name, which it drops. Names the listing found keep them this way.
bool full_and_plain(const std::wstring &path) {
  if (path.size() < 3 || path[1] != L':' || path[2] != L'\\' ||
      path.find(L'/') != std::wstring::npos)
    return false;
  for (std::size_t start = 3; start < path.size();) {
    std::size_t end = path.find(L'\\', start);
    std::wstring part = path.substr(start, end - start);
    if (part.empty() ? end != std::wstring::npos : part == L"." || part == L"..")
      return false;
    if (end == std::wstring::npos)
      break;
    start = end + 1;
  }
  return true;
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

std::wstring full_path(const std::wstring &path) {
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    DWORD length =
        GetFullPathNameW(path.c_str(), DWORD(full.size()), full.data(), nullptr);
    if (length == 0)
      return {};
    if (length < full.size()) {
      full.resize(length);
      return full;
    }
    full.resize(length);
  }
}

std::wstring file_path(const std::string &path) {
  std::wstring wide = widen(path);
  if (starts_with(wide, L"\\\\?\\") || starts_with(wide, L"\\\\.\\"))
    return wide;
  std::wstring full = full_and_plain(wide) ? wide : full_path(wide);
  if (full.empty())
    return wide; // the call that takes it tells what is wrong
  if (starts_with(full, L"\\\\"))
    return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

} // namespace corvantix::win32
