// The user's own state folder, where the records of runs under way are
// kept (%LOCALAPPDATA%\Corvantix on Windows, $XDG_STATE_HOME/corvantix on
// Linux), and the few file calls such records need: a write that a crash
// cannot leave half done, a read, a listing and a lock that tells a run
// that lives from one that was cut off. Failures throw FileError.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvantix::platform {

/// The folder, made private to the user if missing; links are never
/// followed, and a folder that others may write in is refused.
std::string state_folder();

/// Replaces the file `path` with `text`: a crash at any moment leaves the
/// old file or the new one, and the new one is on the medium on return.
void write_file_durably(const std::string &path, const std::string &text);

/// The whole file; nullopt when it does not exist.
std::optional<std::string> read_small_file(const std::string &path);

/// The full paths of the files in `folder` whose names end in `suffix`.
std::vector<std::string> files_ending_in(const std::string &folder,
                                         const std::string &suffix);

/// Deletes a file; one that is gone already is no failure.
void remove_file(const std::string &path);

/// An exclusive lock on the file `path` (made if missing), held while the
/// object lives and let go by the system when the process ends, however
/// it ends.
class FileLock {
public:
  virtual ~FileLock() = default;
  /// The lock, or null when another process holds it.
  static std::unique_ptr<FileLock> take(const std::string &path);
};

} // namespace corvantix::platform
