// A FAT12, FAT16 or FAT32 file system on a byte range of an image file or a
// block device, read and written in place. The type follows from the
// cluster count as Microsoft's FAT documentation says (fewer than 4085
// clusters: FAT12; fewer than 65525: FAT16; else FAT32).
//
// Low layer: every call returns 0 or a Win32 error code and never throws.
// Paths are UTF-8 (names.h), '/'-separated and relative to the root; ""
// is the root. A path component matches an entry's long name or its short
// name, case-insensitively, as on Windows; no character is a pattern.
//
// Durability: a file's data and a new folder's records are written at
// once; changed FAT sectors (both copies) and directory entries wait in
// memory and are written after them, at Flush(), at the volume's end, or
// earlier where order needs it (state.h). So a process killed at any
// moment leaves a file system with lost clusters at worst. FSInfo's free
// count reads as unknown while the FAT changes.
#pragma once

#include "disk/fat/names.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvantix::fat {

/// The byte range the volume lives in: the one I/O seam of the library.
class BlockIo {
public:
  virtual ~BlockIo() = default;
  /// Reads `size` bytes at `offset` within the range; 0 or a Win32 code.
  virtual std::uint32_t Read(std::uint64_t offset, void *data,
                             std::size_t size) = 0;
  /// Writes `size` bytes at `offset` within the range; 0 or a Win32 code.
  virtual std::uint32_t Write(std::uint64_t offset, const void *data,
                              std::size_t size) = 0;
  /// Puts every write so far on the medium; 0 or a Win32 code.
  virtual std::uint32_t Flush() = 0;
  /// The length of the range in bytes.
  virtual std::uint64_t Length() const = 0;
};

enum class FatType { Fat12, Fat16, Fat32 };

/// A DOS date and time as directory entries keep them (local time, two
/// seconds' resolution).
struct DosTime {
  std::uint16_t date = 0x21; ///< 1980-01-01
  std::uint16_t time = 0;
  bool operator==(const DosTime &) const = default;
};

/// Attribute bits of a directory entry.
enum : std::uint8_t {
  kReadOnly = 0x01,
  kHidden = 0x02,
  kSystem = 0x04,
  kVolumeLabel = 0x08,
  kDirectory = 0x10,
  kArchive = 0x20,
  kLongName = 0x0F,
};

/// One entry of a folder, "." and ".." never among them.
struct DirEntry {
  std::string name;       ///< the long name, else the short name as it reads
  std::string short_name; ///< the 8.3 name as it reads ("1LONGN~1.TXT")
  std::uint8_t attributes = 0;
  std::uint32_t size = 0;
  std::uint32_t first_cluster = 0;
  DosTime written;
  DosTime created;
  std::uint8_t created_hundredths = 0; ///< past `created`, 0-199
  bool folder() const { return attributes & kDirectory; }
};

class FatVolume;

/// A file open for reading, from its first byte on.
class FileReader {
public:
  /// Reads up to `size` bytes; `got` is 0 at the end of the file.
  std::uint32_t Read(void *data, std::size_t size, std::size_t &got);

private:
  friend class FatVolume;
  FatVolume *volume_ = nullptr;
  std::uint32_t cluster_ = 0;   ///< holds the byte at position_
  std::uint32_t size_ = 0;
  std::uint32_t position_ = 0;
  std::uint32_t links_followed_ = 0; ///< bounds a looping chain

  std::uint32_t Follow(std::uint32_t cluster, std::uint32_t &next);
};

/// A new (or truncated) file open for writing. Bytes are written to the
/// volume as they come; Close() records the size in the directory entry.
/// A writer dropped without Close() leaves the file empty.
class FileWriter {
public:
  FileWriter() = default;
  FileWriter(const FileWriter &) = delete;
  FileWriter &operator=(const FileWriter &) = delete;
  ~FileWriter();

  /// Appends `size` bytes; ERROR_DISK_FULL when no cluster is free.
  std::uint32_t Write(const void *data, std::size_t size);
  /// Records the size, the write time and the attributes.
  std::uint32_t Close();

private:
  friend class FatVolume;
  /// Writes `bytes` from `data` to new clusters at the end of the chain.
  std::uint32_t Append(const unsigned char *data, std::size_t bytes);
  /// Frees the clusters written so far and lets the volume go.
  void Discard();

  FatVolume *volume_ = nullptr;
  std::uint32_t folder_ = 0; ///< first cluster of the folder holding the entry
  std::uint32_t record_ = 0; ///< the entry's place in it
  std::uint8_t attributes_ = 0;
  DosTime written_;
  std::uint32_t first_cluster_ = 0;
  std::uint32_t last_cluster_ = 0;
  std::uint32_t size_ = 0;
  std::vector<unsigned char> pending_; ///< less than a cluster, not yet written
};

class FatVolume {
public:
  /// Reads the boot sector of `io` and takes up the file system;
  /// ERROR_UNRECOGNIZED_VOLUME when it holds none that is sound enough
  /// to use (bad sizes, FATs or clusters outside the range).
  static std::uint32_t Mount(BlockIo &io, std::unique_ptr<FatVolume> &volume);

  FatType Type() const;
  std::uint32_t ClusterBytes() const;

  /// The entries of `folder` in directory order.
  std::uint32_t List(std::string_view folder, std::vector<DirEntry> &entries);
  /// The entry at `path` (ERROR_FILE_NOT_FOUND; ERROR_PATH_NOT_FOUND when
  /// a folder on the way is missing). The root is a folder without name.
  std::uint32_t Find(std::string_view path, DirEntry &entry);

  /// A new folder; ERROR_ALREADY_EXISTS when the name is taken.
  std::uint32_t CreateFolder(std::string_view path, DosTime written = {});
  /// A new, empty file at `path`, or an existing one truncated (its name
  /// kept as it is); ERROR_ACCESS_DENIED for a folder or a read-only file.
  std::uint32_t CreateOrTruncate(std::string_view path, std::uint8_t attributes,
                           DosTime written, FileWriter &writer);
  std::uint32_t OpenFile(std::string_view path, FileReader &reader);

  /// Deletes a file or an empty folder; ERROR_ACCESS_DENIED when it is
  /// read-only, ERROR_DIR_NOT_EMPTY for a folder with entries.
  std::uint32_t Delete(std::string_view path);
  /// Gives the entry a new name in its own folder (a new short name is
  /// made for it); ERROR_ALREADY_EXISTS when the new name is taken.
  std::uint32_t Rename(std::string_view path, std::string_view new_name);

  /// Sets read-only, hidden, system and archive; the folder bit stays.
  std::uint32_t SetAttributes(std::string_view path, std::uint8_t attributes);
  std::uint32_t SetWriteTime(std::string_view path, DosTime written);
  /// Sets the creation time of a file or folder, to the hundredth of a
  /// second (0-199 past `created`), as Windows keeps it.
  std::uint32_t SetCreationTime(std::string_view path, DosTime created,
                                std::uint8_t hundredths);

  /// Free clusters times the cluster size.
  std::uint32_t FreeBytes(std::uint64_t &bytes);

  /// Puts every change on the medium.
  std::uint32_t Flush();

  ~FatVolume();

private:
  friend class FileReader;
  friend class FileWriter;
  struct State;
  explicit FatVolume(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

} // namespace corvantix::fat
