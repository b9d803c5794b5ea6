// The file-system services of the object layer: folder trees, file copies
// that keep DOS attributes and times, new files, the temporary folder,
// random bytes and the readiness of a volume. Paths are UTF-8 strings in the
// platform's form; a drive path such as "E:\sub\f.txt" names a file on a
// mounted volume on both builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvantix::platform {

/// DOS attribute bits, with the values of the FILE_ATTRIBUTE_* constants.
enum : std::uint32_t {
  kAttributeReadOnly = 0x01,
  kAttributeHidden = 0x02,
  kAttributeSystem = 0x04,
  kAttributeDirectory = 0x10,
  kAttributeArchive = 0x20,
  kAttributeNormal = 0x80,
};

/// The attributes that a copy must keep exactly.
constexpr std::uint32_t kKeptBits =
    kAttributeReadOnly | kAttributeHidden | kAttributeSystem;

/// The attributes that a copied folder takes from its source.
constexpr std::uint32_t kCopiedFolderBits =
    kAttributeReadOnly | kAttributeHidden | kAttributeSystem | kAttributeArchive;

/// A failed file-system call: the system's text for a Win32 error code.
class FileError : public std::runtime_error {
public:
  FileError(std::uint32_t code, std::string path);
  std::uint32_t code() const { return code_; }
  /// The path that the failed call was given.
  const std::string &path() const { return path_; }

private:
  std::uint32_t code_;
  std::string path_;
};

/// The entries of a folder tree at every depth, as full paths that begin
/// with the folder's path exactly as it was given. Parents come before
/// their children.
struct TreeListing {
  std::vector<std::string> folders;
  std::vector<std::string> files;
};

/// Told after each file that a tree copy has copied, with its size in
/// bytes; it may throw to end the copy there.
using CopyProgress = std::function<void(std::uint64_t bytes)>;

/// A file open for writing; the destructor closes it.
class WritableFile {
public:
  virtual ~WritableFile() = default;
  /// Writes at the end of what was written so far and returns the number
  /// of bytes that the system took; a failed call throws FileError.
  virtual std::size_t write(const char *data, std::size_t size) = 0;
  /// Makes the system write its buffers to the device.
  virtual void flush() = 0;
};

class FileSystem {
public:
  virtual ~FileSystem() = default;

  /// The absolute form of `path`; touches nothing on disk.
  virtual std::string full_path(const std::string &path) = 0;
  /// A path that a person typed, as the platform's own rules read it
  /// before anything is opened; on Windows, and for drive paths on the
  /// host, windows_typed_path.
  virtual std::string typed_path(const std::string &path);
  /// `name` inside `folder`, with one separator between them.
  virtual std::string join(const std::string &folder,
                           const std::string &name) = 0;
  /// The current user's temporary folder.
  virtual std::string temp_folder() = 0;
  /// The folder `folder`, made if missing, for this user's private files:
  /// where another user owns it or may write in it (or, on Windows, read
  /// it), another that is the user's own, or a failure that names it.
  /// Links are never followed.
  virtual std::string private_folder(const std::string &folder) = 0;

  /// Every folder and file below `folder`, hidden and system ones included.
  virtual TreeListing list_tree(const std::string &folder) = 0;
  /// True when `folder` holds no entry at all.
  virtual bool folder_empty(const std::string &folder) = 0;

  /// Creates `folder` and any missing parents; an existing folder is fine.
  virtual void create_folders(const std::string &folder) = 0;
  /// Creates the single folder `folder` inside an existing parent; false
  /// when an entry of that name exists already.
  virtual bool create_new_folder(const std::string &folder) = 0;

  /// Copies a file with its attributes, modification and creation time,
  /// replacing a file at `to`; a read-only or hidden file at `to` makes it
  /// fail.
  virtual void copy_file(const std::string &from, const std::string &to) = 0;
  /// Copies the tree inside `from` into the existing folder `to`: every
  /// subfolder first, then every file as copy_file copies it, replacing
  /// files of the same name, then the folders' attributes and times. An entry at `to`
  /// that a copied name reaches only as its short alias is not replaced: it
  /// is moved aside while the copy takes the name, and back, so that both
  /// keep their own names. The first failure ends the copy and what was
  /// copied stays. This one lists the tree and copies entry by entry; a
  /// platform may do it in fewer steps. `progress` hears of every file.
  virtual void copy_tree(const std::string &from, const std::string &to,
                         const CopyProgress &progress = nullptr);
  /// The name of the entry that `path` opens, as its folder holds it (the
  /// long name, where `path` may name it by its short alias); nullopt when
  /// there is none.
  virtual std::optional<std::string> entry_name(const std::string &path) = 0;
  /// Gives a file or folder another name in the same folder.
  virtual void rename(const std::string &from, const std::string &to) = 0;
  /// Reads the copy inside `to` of the tree inside `from` back from the
  /// medium itself, past the system's caches, and compares: every folder
  /// and file of `from` is there under its very name, with the same
  /// read-only, hidden and system bits and, for files, the same bytes. A
  /// difference fails with ERROR_FILE_CORRUPT naming the entry. `progress`
  /// hears of every file read back.
  virtual void verify_tree(const std::string &from, const std::string &to,
                           const CopyProgress &progress = nullptr) = 0;
  /// The bytes of all files below `folder`, from its listing alone: what a
  /// copy of the tree will move.
  virtual std::uint64_t tree_bytes(const std::string &folder) = 0;
  /// The DOS attributes of a file or folder.
  virtual std::uint32_t attributes(const std::string &path) = 0;
  /// Sets the DOS attributes of a file or folder; kAttributeNormal clears.
  virtual void set_attributes(const std::string &path,
                              std::uint32_t attributes) = 0;
  /// Deletes `folder` and everything in it; a read-only entry stops it.
  virtual void delete_tree(const std::string &folder) = 0;

  /// Creates `path` for reading and writing, replacing and truncating an
  /// existing file, which must not be read-only, hidden or system.
  virtual std::unique_ptr<WritableFile> create_file(const std::string &path) = 0;

  /// Fills `buffer` from a cryptographically strong source.
  virtual void random_bytes(void *buffer, std::size_t size) = 0;

  /// True when the file system at `root` is mounted and can be read.
  virtual bool volume_ready(const std::string &root) = 0;
  /// True when another program holds the drive of `root` for itself. Asked
  /// before a run, when the system may free the drive of its own use.
  virtual bool volume_in_use(const std::string &root);
  /// What holds the drive of `root`, in the user's words, after
  /// volume_in_use said so or a lock of its volume was refused; empty when
  /// only "another program" is known.
  virtual std::string volume_user(const std::string &root);
  /// The program that holds the volume of `root` open, as the system names
  /// it, after a lock of the volume was refused; empty where the system
  /// cannot tell.
  virtual std::string volume_holder(const std::string &root);
  /// The run on the drive of `root` is over: what the system freed the
  /// drive of for it (see volume_in_use) is given back, unless the run
  /// `changed` the drive.
  virtual void end_volume_use(const std::string &root, bool changed);

protected:
  /// The size of a file, for the progress of the tree copy made of single
  /// calls; 0 where a platform does not say.
  virtual std::uint64_t file_bytes(const std::string &) { return 0; }
  /// Gives the copied folder `to` the creation and write times of `from`,
  /// once its contents are written; nothing where a platform keeps none.
  virtual void copy_folder_times(const std::string &, const std::string &) {}

  /// Runs `make`, which creates the entry `target`, with any entry that
  /// `target` reaches only as its short alias moved aside meanwhile.
  void make_beside_alias(const std::string &target,
                         const std::function<void()> &make);

  /// A free name for an entry moved aside for a moment.
  std::string aside_name();
};

/// `path` as Windows reads a typed path: a folder name loses one period at
/// its end, and the last name the periods and spaces at its end unless a
/// separator ends the path (`D:\data ` is `D:\data`). Names of periods
/// alone and `\\?\` and `\\.\` paths stay as they are. The file calls use
/// the `\\?\` form, which would look for the name as typed.
std::string windows_typed_path(const std::string &path);

/// Windows' own folder of a volume: an entry directly in a drive's root
/// named System Volume Information, in any case (as Windows matches names),
/// that is a folder with both the hidden and the system attribute, as
/// Windows makes it. Its services write and hold files there at any time,
/// and none of it is the user's: the listings, copies and comparisons of a
/// tree from a drive's root leave it out. A folder of that name without
/// both attributes, or below the root, is the user's like any other.
bool is_windows_own_folder(const std::string &name, std::uint32_t attributes);

/// Sorts paths for a tree copy: parents before children, and in a folder
/// plain 8.3 names before long ones, which could take them as aliases.
void order_for_copy(std::vector<std::string> &paths);

/// The file system that the system code uses: the platform's own, unless a
/// test has put another in its place.
FileSystem &file_system();

/// Puts `replacement` in place of the platform's file system until the
/// guard ends (tests). Guards nest.
class FileSystemOverride {
public:
  explicit FileSystemOverride(FileSystem &replacement);
  ~FileSystemOverride();
  FileSystemOverride(const FileSystemOverride &) = delete;
  FileSystemOverride &operator=(const FileSystemOverride &) = delete;

private:
  FileSystem *previous_;
};

/// The platform's file system itself, whatever is in place.
FileSystem &native_file_system();

} // namespace corvantix::platform
