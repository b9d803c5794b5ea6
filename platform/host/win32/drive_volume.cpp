#include "platform/host/win32/drive_volume.h"

#include "disk/fat/tree.h"

#include <ctime>

namespace corvantix::platform::drive {

std::string joined(const std::string &folder, const std::string &name) {
  return folder.empty() ? name : folder + "/" + name;
}

std::string leaf_of(const std::string &path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parent_of(const std::string &path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

// "E:\a\.\b\..\c" -> "a/c": the path below the volume's root.
std::string below_drive(const std::string &path) {
  std::vector<std::string> parts;
  std::string part;
  for (std::size_t at = 2; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '\\' && path[at] != '/') {
      part += path[at];
      continue;
    }
    if (part == ".." && !parts.empty())
      parts.pop_back();
    else if (!part.empty() && part != "." && part != "..")
      parts.push_back(part);
    part.clear();
  }
  std::string below;
  for (const std::string &p : parts)
    below = joined(below, p);
  return below;
}

std::string relative_to(const std::string &folder, const std::string &path) {
  return folder.empty() ? path
                        : path.substr(std::min(path.size(), folder.size() + 1));
}

std::vector<Found> tree_of(Drive &drive) {
  drive.require_folder(drive.inside());
  std::vector<Found> found;
  std::string where, own; // Windows' own folder, in a drive's root
  std::uint32_t code = fat::WalkTree(
      drive.volume(), drive.inside(),
      [&](const std::string &below, const fat::DirEntry &entry) {
        if (drive.inside().empty() && below == entry.name &&
            is_windows_own_folder(entry.name, entry.attributes))
          own = below + "/";
        else if (own.empty() || below.rfind(own, 0) != 0)
          found.push_back({below, entry});
        return 0u;
      },
      where);
  drive.check(code, where);
  return found;
}


void make_folder(Drive &drive, const std::string &below) {
  auto there = drive.find(below);
  if (there && !there->folder())
    host::fail(drive.shown(below), ERROR_ALREADY_EXISTS);
  if (!there)
    drive.check(drive.volume().CreateFolder(below, host::dos_time_of(std::time(nullptr))),
                below);
}

} // namespace corvantix::platform::drive
