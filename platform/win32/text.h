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

/// The full form of `path` at any length; empty when GetFullPathNameW
/// fails (GetLastError tells why).
std::wstring full_path(const std::wstring &path);

/// `path` for the wide file calls, in the \\?\ form that takes it past
/// MAX_PATH on every Windows version. That form is taken literally, so the
/// path is made full first unless it already is; device paths stay.
std::wstring file_path(const std::string &path);

} // namespace corvantix::win32
