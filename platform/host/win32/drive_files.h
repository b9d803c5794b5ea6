// The file calls on drive paths ("E:\sub\f.txt") of the emulated machine:
// each goes to the FAT file system of the mounted volume through the FAT
// library, in place, holding the machine for the whole call, and is on
// the medium when it returns. Failures carry the code Windows would give.
#pragma once

#include "platform/filesystem.h"

#include <cstdint>
#include <optional>
#include <string>

namespace corvantix::platform::drive {

TreeListing list_tree(const std::string &folder);
bool folder_empty(const std::string &folder);
void create_folders(const std::string &folder);
bool create_new_folder(const std::string &folder);
std::optional<std::string> entry_name(const std::string &path);
void rename(const std::string &from, const std::string &to);
std::uint32_t attributes(const std::string &path);
void set_attributes(const std::string &path, std::uint8_t bits);
void delete_tree(const std::string &folder);

/// A copy of one file; either side, or both, a drive path.
void copy_file(const std::string &from, const std::string &to);
/// The tree inside the host folder `from` into the drive folder `to`.
void copy_tree_in(const std::string &from, const std::string &to,
                  const CopyProgress &progress);
/// Reads the drive folder `to` back from the medium and compares it with
/// the host folder `from` it was copied from (FileSystem::verify_tree).
void verify_tree_in(const std::string &from, const std::string &to,
                    const CopyProgress &progress);
/// The bytes of the files below the drive folder `folder`.
std::uint64_t tree_bytes(const std::string &folder);
/// The tree inside the drive folder `from` into the host folder `to`.
void copy_tree_out(const std::string &from, const std::string &to,
                   const CopyProgress &progress);

/// A new, empty file at `path` (created at once, as CreateFile does) whose
/// bytes reach the volume on flush().
std::unique_ptr<WritableFile> create_file(const std::string &path);

} // namespace corvantix::platform::drive
