// A folder for the user's private files on Windows: the backups of a
// stick's files must not be readable by the other users of the computer.
#pragma once

#include <string>

namespace corvantix::win32 {

/// `folder`, made if missing, with a protected access list that lets the
/// user, SYSTEM and the Administrators in and nobody else; an existing one
/// that others may read or write gets that list where the user owns it.
/// Where that cannot be had (%TEMP% on a shared C:\Temp that another user
/// made), the folder of the same name in %LOCALAPPDATA%\Temp, handled the
/// same way. Throws FileError naming the folder when neither is private.
std::string private_folder(const std::string &folder);

/// Whether only the user, SYSTEM and the Administrators may read or write
/// in `folder`, which they own, and it is no link; false when it cannot
/// be told.
bool only_ours(const std::string &folder);

} // namespace corvantix::win32
