// A walk over a folder tree of a volume that may be damaged: it ends, with
// memory bounded by what the volume's folders hold, whatever the folders
// say.
#pragma once

#include "disk/fat/volume.h"

#include <functional>
#include <string>
#include <string_view>

namespace corvantix::fat {

/// Called for each entry with its path from the root; a non-zero return
/// ends the walk with that code.
using TreeVisit = std::function<std::uint32_t(const std::string &path, const DirEntry &entry)>;

/// Visits every entry below `folder`, parents before their children. A
/// folder whose first cluster the walk has met already (an entry pointing
/// back at an ancestor or at itself, or two folders sharing clusters) is
/// damage: ERROR_FILE_CORRUPT, with `where` set to that folder's path, as
/// it is for any failure to list a folder (the code is List()'s) or a path
/// too long for Windows (ERROR_FILENAME_EXCED_RANGE).
std::uint32_t WalkTree(FatVolume &volume, std::string_view folder, const TreeVisit &visit,
                       std::string &where);

} // namespace corvantix::fat
