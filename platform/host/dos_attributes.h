// DOS attributes of host files. The emulated machine keeps the read-only,
// hidden, system and archive bits of a file or folder in the extended
// attribute "user.dosattrib" (one byte, the FILE_ATTRIBUTE_* bit values).
// The host file operations honour the read-only bit themselves, since the
// program may run as root, which the permission bits would not stop.
#pragma once

#include <cstdint>
#include <filesystem>

namespace corvantix::emulation {

constexpr std::uint8_t kDosReadOnly = 0x01;
constexpr std::uint8_t kDosHidden = 0x02;
constexpr std::uint8_t kDosSystem = 0x04;
constexpr std::uint8_t kDosArchive = 0x20;

/// The attribute byte of `path`; 0 when none was recorded.
std::uint8_t dos_attributes(const std::filesystem::path &path);

/// Records the attribute byte of `path`; false when the file system refuses.
bool set_dos_attributes(const std::filesystem::path &path, std::uint8_t bits);

} // namespace corvantix::emulation
