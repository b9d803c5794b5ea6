// Named files embedded in the program file.
#pragma once

#include <istream>
#include <memory>
#include <string_view>

namespace corvantix::platform {

/// Opens the embedded file with exactly this (case-sensitive) name for
/// reading. Returns null when the program holds no file of that name; an
/// empty file gives a stream that is at its end at once.
std::unique_ptr<std::istream> open_resource(std::string_view name);

} // namespace corvantix::platform
