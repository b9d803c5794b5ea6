// Which program holds a volume open, as Windows' Restart Manager names it.
#pragma once

#include <string>

namespace corvantix::win32 {

/// The programs that have files below the drive root `root` open, by the
/// names Windows gives them ("Windows Explorer"), joined by ", "; empty
/// when none is known. The Restart Manager knows open files only: a program
/// that holds the volume itself or a folder of it is not found.
std::string volume_holder(const std::string &root);

} // namespace corvantix::win32
