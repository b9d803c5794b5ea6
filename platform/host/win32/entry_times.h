// The times of entries copied between a volume and the host. A host file
// or folder keeps the write time as its modification time; the creation
// time, which Linux does not let a program set, goes into the extended
// attribute "user.doscreated" where the host file system takes one. Where
// it does not (ramfs), a backup keeps no creation times, and an entry
// restored from it gets its write time as creation time, as a new FAT
// entry has it.
#pragma once

#include "disk/fat/volume.h"
#include "platform/host/win32/drive_volume.h"

#include <filesystem>
#include <string>

namespace corvantix::platform::host {

/// Records the creation time of `entry` on the host file open as `fd`.
void record_creation(int fd, const fat::DirEntry &entry);
/// The entry `below` of the drive gets the creation time recorded on the
/// host file open as `fd`, if there is one.
void restore_creation(drive::Drive &drive, const std::string &below, int fd);

/// The host folder `host` gets the times of the folder `entry`; done after
/// its contents are written, which would change its modification time.
void keep_folder_times(const std::filesystem::path &host,
                       const fat::DirEntry &entry);
/// The folder `below` of the drive gets the times of the host folder
/// `host`, after its contents are written.
void keep_folder_times(drive::Drive &drive, const std::string &below,
                       const std::filesystem::path &host);

} // namespace corvantix::platform::host
