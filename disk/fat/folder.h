// A folder's 32-byte records as the medium holds them, parsed into its
// entries with an index by name; for the files of disk/fat alone.
#pragma once

#include "disk/fat/names.h"
#include "disk/fat/volume.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvantix::fat {

constexpr std::uint32_t kRecord = 32; ///< bytes of a directory entry
constexpr unsigned char kFreeMark = 0xE5;

// Fields of a short entry, by byte offset.
enum : std::size_t {
  kAttributesAt = 11,
  kCaseBitsAt = 12,
  kCreateHundredthsAt = 13,
  kCreateTimeAt = 14,
  kCreateDateAt = 16,
  kAccessDateAt = 18,
  kClusterHighAt = 20,
  kWriteTimeAt = 22,
  kWriteDateAt = 24,
  kClusterLowAt = 26,
  kSizeAt = 28,
};

/// The form of a name that look-ups compare.
std::u16string folded(std::u16string_view name);
ShortName short_name_of(const unsigned char *record);
void put_time(unsigned char *record, DosTime time);
/// A short entry without a name.
std::array<unsigned char, kRecord> short_record(std::uint8_t attributes,
                                                std::uint32_t cluster,
                                                DosTime written);
/// The long-name slots of `name`, last slot first, then the short entry.
std::vector<unsigned char> entry_records(std::u16string_view name,
                                         const unsigned char *short_entry);

/// An entry of a folder: the records from its first long-name slot to its
/// short entry.
struct Item {
  std::uint32_t first = 0;
  std::u16string long_name; ///< empty: the short name stands alone
};

/// A folder's records with an index by name; changed records wait for the
/// volume's next Settle() (state.h).
struct Folder {
  std::uint32_t cluster = 0; ///< 0: the fixed root of FAT12/16
  std::vector<std::uint32_t> clusters;
  std::vector<unsigned char> bytes;
  std::uint32_t capacity = 0; ///< records
  std::uint32_t end = 0;      ///< from here on every record is free
  std::map<std::uint32_t, Item> items; ///< by the record of the short entry
  std::unordered_multimap<std::u16string, std::uint32_t> names; ///< folded
  /// Per basis name, the lowest numeric tail that may still be free.
  std::unordered_map<std::string, unsigned> tails;
  /// Records changed in memory and not yet written: [touched, touched_end).
  std::uint32_t touched = 0, touched_end = 0;

  unsigned char *record(std::uint32_t index) {
    return &bytes[std::size_t(index) * kRecord];
  }
  bool is_free(std::uint32_t index) {
    return index >= end || *record(index) == kFreeMark;
  }

  /// Reads the entries from `bytes`.
  void Parse();
  void Index(std::uint32_t short_entry, Item item);
  void Unindex(std::uint32_t short_entry);
  /// The short entry of the entry called `name`, long or short.
  std::optional<std::uint32_t> Lookup(std::u16string_view name) const;
  /// Whether an entry's short or long name reads as `name`.
  bool Taken(const ShortName &name) const;
};

} // namespace corvantix::fat
