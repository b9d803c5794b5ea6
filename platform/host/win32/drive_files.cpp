#include "platform/host/win32/drive_files.h"

#include "disk/fat/volume.h"
#include "platform/host/win32/dos_attributes.h"
#include "platform/host/win32/drive_volume.h"
#include "platform/host/win32/host_files.h"
#include "platform/host/win32/win32_types.h"

#include <algorithm>
#include <vector>

namespace corvantix::platform::drive {

using namespace host;
using fat::DirEntry;

TreeListing list_tree(const std::string &folder) {
  Drive drive(folder);
  TreeListing listing;
  for (const Found &found : tree_of(drive)) {
    std::string below = relative_to(drive.inside(), found.below);
    std::replace(below.begin(), below.end(), '/', '\\');
    (found.entry.folder() ? listing.folders : listing.files)
        .push_back(join_path(folder, below));
  }
  return listing;
}

std::uint64_t tree_bytes(const std::string &folder) {
  Drive drive(folder);
  std::uint64_t bytes = 0;
  for (const Found &found : tree_of(drive))
    if (!found.entry.folder())
      bytes += found.entry.size;
  return bytes;
}

bool folder_empty(const std::string &folder) {
  Drive drive(folder);
  drive.require_folder(drive.inside());
  std::vector<DirEntry> entries;
  drive.check(drive.volume().List(drive.inside(), entries), drive.inside());
  return entries.empty();
}

void create_folders(const std::string &folder) {
  Drive drive(folder);
  std::string made;
  for (std::size_t at = 0; at <= drive.inside().size();) {
    std::size_t end = std::min(drive.inside().find('/', at), drive.inside().size());
    made = joined(made, drive.inside().substr(at, end - at));
    make_folder(drive, made);
    at = end + 1;
  }
  drive.commit();
}

bool create_new_folder(const std::string &folder) {
  Drive drive(folder);
  if (drive.inside().empty() || drive.find(drive.inside()))
    return false;
  drive.require_folder(parent_of(drive.inside()));
  drive.check(drive.volume().CreateFolder(drive.inside(),
                                          dos_time_of(std::time(nullptr))),
              drive.inside());
  drive.commit();
  return true;
}

std::optional<std::string> entry_name(const std::string &path) {
  Drive drive(path);
  if (drive.inside().empty())
    return std::nullopt;
  auto there = drive.find(drive.inside());
  return there ? std::optional(there->name) : std::nullopt;
}

void rename(const std::string &from, const std::string &to) {
  Drive drive(from);
  std::string target = below_drive(to);
  if (std::toupper(from[0]) != std::toupper(to[0]) ||
      parent_of(target) != parent_of(drive.inside()))
    fail(to, ERROR_NOT_SAME_DEVICE);
  drive.check(drive.volume().Rename(drive.inside(), leaf_of(target)),
              drive.inside());
  drive.commit();
}

std::uint32_t attributes(const std::string &path) {
  Drive drive(path);
  auto there = drive.find(drive.inside());
  if (!there)
    fail(path, ERROR_FILE_NOT_FOUND);
  return drive.inside().empty() ? std::uint8_t(fat::kDirectory)
                                : there->attributes;
}

void set_attributes(const std::string &path, std::uint8_t bits) {
  Drive drive(path);
  if (!drive.find(drive.inside()))
    fail(path, ERROR_FILE_NOT_FOUND);
  if (drive.inside().empty()) // the root has no entry to carry them
    return;
  drive.check(drive.volume().SetAttributes(drive.inside(), bits & kCopiedBits),
              drive.inside());
  drive.commit();
}

// Nothing is deleted while a read-only entry stands in the tree.
void delete_tree(const std::string &folder) {
  Drive drive(folder);
  auto self = drive.find(drive.inside());
  if (!self)
    fail(folder, ERROR_PATH_NOT_FOUND);
  if (!self->folder())
    fail(folder, ERROR_DIRECTORY);
  if (drive.inside().empty() || (self->attributes & fat::kReadOnly))
    fail(folder, ERROR_ACCESS_DENIED);
  std::vector<Found> tree = tree_of(drive);
  for (const Found &found : tree)
    if (found.entry.attributes & fat::kReadOnly)
      fail(drive.shown(found.below), ERROR_ACCESS_DENIED);
  for (auto found = tree.rbegin(); found != tree.rend(); ++found)
    drive.check(drive.volume().Delete(found->below), found->below);
  drive.check(drive.volume().Delete(drive.inside()), drive.inside());
  drive.commit();
}

} // namespace corvantix::platform::drive
