// The FAT file system inside a disk image, through mtools. Paths are
// '/'-separated and relative to the volume's root ("" is the root); names
// are UTF-8, as the user gave them. Every call runs one or two tools and
// is in the image when it returns.
//
// mtools spells a name that has no long-name entry (an all-lower-case 8.3
// name kept in the short entry's case bits) with the non-ASCII letters in
// upper case in its copies and its attribute listing, but right in its
// directory listing. A listing therefore pairs the two, and the copies to
// the host rename what mtools misspelled.
#pragma once

#include "platform/host/machine/host_tools.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvantix::emulation {

struct FatEntry {
  std::string path; ///< below the root, with the names as the user gave them
  std::string tool; ///< the same entry as mtools spells it in its output
  bool folder = false;
  std::uint8_t attributes = 0; ///< the kDos* bits
};

class FatVolume {
public:
  /// The file system at byte `offset` of `image`.
  FatVolume(const std::string &image, std::uint64_t offset);

  /// Runs `tool` with `args` on this volume ("-i image" is added). What a
  /// tool changed is on the device when this returns: a stick takes its
  /// writes at once, as Windows' quick-removal policy has it. A block
  /// device that went away (unplugged: no medium, or another size) fails
  /// the call with `device_gone`, whatever the tool said.
  ToolResult run(const std::string &tool,
                 const std::vector<std::string> &args) const;

  /// The entries inside `folder` (every depth when `recursive`), parents
  /// before their children; nullopt when the listing fails.
  std::optional<std::vector<FatEntry>> list(const std::string &folder,
                                            bool recursive) const;

  /// The entry at `path`, found regardless of case; nullopt when missing.
  /// The root is a folder without attributes.
  std::optional<FatEntry> find(const std::string &path) const;

  /// Whether mtools can read the file system at all.
  bool readable() const;

  /// "::/path", as the tools take it.
  static std::string target(const std::string &path) { return "::/" + path; }

  /// "+a" "-r" ... : the mattrib arguments that give exactly `bits`.
  static std::vector<std::string> attribute_args(std::uint8_t bits);

private:
  std::string image_;    ///< the image or block device itself
  std::string location_; ///< image@@offset, as the tools take it
  bool device_ = false; ///< a block device rather than an image file
  /// The block device's size when the volume was taken up.
  std::uint64_t device_size_ = 0;
};

/// A key under which names that FAT takes for the same (case does not
/// count) are equal.
std::u32string fat_key(const std::string &path);

/// Whether two names are the same on FAT, where case does not count.
bool same_fat_name(const std::string &a, const std::string &b);

/// The last component of a '/'-separated path, and everything before it.
std::string leaf_of(const std::string &path);
std::string parent_of(const std::string &path);

} // namespace corvantix::emulation
