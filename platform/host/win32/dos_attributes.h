// DOS attributes of host files. The read-only, hidden, system and archive
// bits of a file or folder (one byte, the FILE_ATTRIBUTE_* bit values) live
// in the extended attribute "user.dosattrib". Where the host file system
// has no user extended attributes (ramfs, older tmpfs), they live in a side
// record instead: an owner-only file named kSideRecord in the entry's
// folder, one "hh name" line per entry. That name holds a colon, which no
// FAT or Windows name can, so it never meets a user's file; the host file
// system leaves it out of every listing.
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

constexpr const char *kSideRecord = ":dos-attributes";

/// The attribute byte of `path`; 0 when none was recorded.
std::uint8_t dos_attributes(const std::filesystem::path &path);

/// Records the attribute byte of `path`; false when the file system refuses.
bool set_dos_attributes(const std::filesystem::path &path, std::uint8_t bits);

/// Drops what was recorded for `path` (before the entry is deleted).
void forget_dos_attributes(const std::filesystem::path &path);

/// Test control: behave as a file system without user extended attributes.
void refuse_user_xattrs(bool refuse);

} // namespace corvantix::emulation
