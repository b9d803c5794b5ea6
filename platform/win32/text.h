// Conversions between the object layer's UTF-8 strings and the forms that
// the Win32 calls take: UTF-16 for the wide calls, the ANSI code page for
// the 8-bit ones.
#pragma once

#include <string>

namespace corvantix::win32 {

std::wstring widen(const std::string &utf8);
std::string narrow(const std::wstring &utf16);
std::string to_ansi(const std::string &utf8);
std::string from_ansi(const std::string &ansi);

} // namespace corvantix::win32
