// One folder of the file system, with the tree operations that the
// preparation needs: backups in the temporary folder, copies of whole trees
// and their deletion.
#pragma once

#include "platform/filesystem.h"

#include <cstdint>
#include <optional>
#include <string>

namespace corvantix {

class Folder {
public:
  /// Stands for the folder at `path`, made absolute; touches nothing.
  explicit Folder(const std::string &path);

  /// Copies the tree inside this folder into the existing folder `dst`:
  /// every subfolder first, then every file, with its attributes and time,
  /// replacing files of the same name. The first failure ends the copy.
  /// `progress` hears of every file copied and may throw to stop.
  void copy(const std::string &dst,
            const platform::CopyProgress &progress = nullptr) const;

  /// Reads the copy of this folder's tree inside `dst` back from the medium
  /// and compares names, attributes and bytes; the first difference fails.
  void verify(const std::string &dst,
              const platform::CopyProgress &progress = nullptr) const;

  /// The bytes of all files below this folder.
  std::uint64_t bytes() const;

  /// Deletes this folder and everything in it, read-only entries included.
  void remove() const;

  /// Creates this folder and any missing parents.
  void create() const;

  /// True when the folder holds no file and no subfolder.
  bool empty() const;

  /// The folder's full path.
  const std::string &path() const { return path_; }

  /// The folder "{i}_{subpath}" inside this one; none without a subpath.
  std::optional<Folder> relative(std::int32_t i,
                                 const std::optional<std::string> &subpath) const;

  /// Creates a fresh folder with a random 8.3 name inside the folder `path`
  /// of the temporary folder; fails with TEMP_ERR_CREATE.
  static Folder create_temp(const std::string &path);

  /// A free random name inside the folder `path` of the temporary folder,
  /// not yet made, so that it can be written down first; fails with
  /// TEMP_ERR_CREATE when that folder cannot be made.
  static Folder temp_name(const std::string &path);
  /// Makes this folder inside its existing parent; false when an entry of
  /// that name exists already. Fails with TEMP_ERR_CREATE.
  bool create_new() const;

private:
  std::string path_;
};

} // namespace corvantix
