// The volume behind a drive path of the emulated machine, held for one
// file call, and what the drive's file calls share: paths below the
// volume's root and the walk of a folder tree.
#pragma once

#include "disk/fat/volume.h"
#include "platform/host/machine/image_range.h"
#include "platform/host/machine/machine.h"
#include "platform/host/win32/host_files.h"
#include "platform/host/win32/win32_types.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvantix::platform::drive {

/// What a copy keeps of an entry's attributes, and what it refuses to
/// replace.
constexpr std::uint8_t kCopiedBits =
    fat::kReadOnly | fat::kHidden | fat::kSystem | fat::kArchive;
constexpr std::uint8_t kProtected = fat::kReadOnly | fat::kHidden;

std::string joined(const std::string &folder, const std::string &name);
std::string leaf_of(const std::string &path);
std::string parent_of(const std::string &path);
/// "E:\a\.\b\..\c" -> "a/c": the path below the volume's root.
std::string below_drive(const std::string &path);
/// `path` below `folder` ('/'-separated, "" for the root).
std::string relative_to(const std::string &folder, const std::string &path);

// The volume behind a drive path, held for one call: its disk's transfer
// lock stays taken, so no lock, format or dismount of the volume comes
// between the steps, and one FatVolume alone works on the file system
// meanwhile; other disks' calls go on.
class Drive {
public:
  /// The volume of `path`; `from_medium`: what the host caches of it is
  /// dropped first, so that everything is read from the medium itself.
  explicit Drive(const std::string &path, bool from_medium = false)
      : machine_(emulation::Machine::current()),
        guard_(machine_.hold_disk_with_letter(path[0])),
        where_(machine_.volume_image(path[0])),
        range_(where_.image, where_.offset, where_.length, where_.wrap),
        root_(path.substr(0, 2) + "\\"), shown_(path),
        inside_(below_drive(path)) {
    if (where_.error)
      host::fail(path, where_.error);
    if (range_.Error())
      host::fail(path, range_.Error());
    if (from_medium)
      check(range_.Forget(), inside_);
    std::uint32_t code = fat::FatVolume::Mount(range_, volume_);
    if (code) // what cannot be read is no volume at all
      host::fail(path, code == ERROR_UNRECOGNIZED_VOLUME ? ERROR_PATH_NOT_FOUND : code);
  }

  // Whatever a failed call changed reaches the medium all the same.
  ~Drive() {
    if (volume_ && dirty_)
      volume_->Flush();
  }

  fat::FatVolume &volume() {
    dirty_ = true;
    return *volume_;
  }
  /// The path below the root.
  const std::string &inside() const { return inside_; }
  /// `below` in the form the caller's paths have.
  std::string shown(const std::string &below) const {
    std::string path = root_ + below;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
  }

  /// Fails naming `below` unless `code` is 0.
  void check(std::uint32_t code, const std::string &below) const {
    if (code)
      host::fail(shown(below), code);
  }

  std::optional<fat::DirEntry> find(const std::string &below) {
    fat::DirEntry entry;
    std::uint32_t code = volume_->Find(below, entry);
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
        code == ERROR_DIRECTORY || code == ERROR_INVALID_NAME)
      return std::nullopt;
    check(code, below);
    return entry;
  }

  void require_folder(const std::string &below) {
    auto entry = find(below);
    if (!entry)
      host::fail(shown(below), ERROR_PATH_NOT_FOUND);
    if (!entry->folder())
      host::fail(shown(below), ERROR_DIRECTORY);
  }

  /// Puts the call's changes on the medium, as FlushFileBuffers does.
  void commit() {
    dirty_ = false;
    if (auto fault = machine_.take_fault("FlushFileBuffers"))
      host::fail(shown_, *fault);
    check(volume_->Flush(), inside_);
  }

private:
  emulation::Machine &machine_;
  std::unique_lock<std::recursive_mutex> guard_;
  emulation::Machine::VolumeImage where_;
  emulation::ImageRange range_;
  std::unique_ptr<fat::FatVolume> volume_;
  std::string root_, shown_, inside_;
  bool dirty_ = false;
};

struct Found {
  std::string below; ///< path below the root
  fat::DirEntry entry;
};

/// A folder at `below` unless there is one; a file there is refused.
void make_folder(Drive &drive, const std::string &below);

/// Every entry below the drive's folder, parents before their children. A
/// damaged tree (a folder met twice: a loop or a cross-link) fails naming
/// the folder where the damage shows.
std::vector<Found> tree_of(Drive &drive);

} // namespace corvantix::platform::drive
