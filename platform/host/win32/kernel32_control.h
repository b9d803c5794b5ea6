// Controls of the emulated kernel services for tests: the virtual clock
// behind Sleep, the local time, the answer of IsWow64Process and the
// memory blocks still held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/host/win32/win32_types.h"

namespace corvantix::emulation {

/// With the virtual clock on, Sleep returns at once and only advances the
/// clock; off (the default), Sleep waits for real.
void use_virtual_clock(bool on);
/// Milliseconds that Sleep waited (or pretended to) since the last reset.
std::uint64_t slept_milliseconds();
/// The number of Sleep calls since the last reset.
std::size_t sleep_calls();
void reset_sleep_count();

/// Forces IsWow64Process's answer; nullopt gives the native answer (FALSE).
void force_wow64(std::optional<bool> answer);
/// Makes GetProcAddress find no IsWow64Process, as on old Windows.
void hide_is_wow64_process(bool hidden);

/// Blocks from LocalAlloc (and FormatMessageA) not yet given to LocalFree.
std::size_t local_blocks();

/// Windows' English text for a Win32 error code, ending in CR LF, as
/// FormatMessageA gives it; null for a code the emulation has no text for.
const char *system_message(std::uint32_t code);

/// Fixes what GetLocalTime answers; null gives the real clock again.
void set_local_time(const SYSTEMTIME *time);

/// Blocks from VirtualAlloc not yet given to VirtualFree.
std::size_t virtual_blocks();

} // namespace corvantix::emulation
