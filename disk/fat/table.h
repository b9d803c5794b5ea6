// The layout of a FAT volume and its file allocation table, for the files
// of disk/fat alone. The table keeps a bounded set of FAT sectors in
// memory; Commit() writes the changed ones to every FAT copy.
#pragma once

#include "disk/fat/volume.h"

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

namespace corvantix::fat {

inline std::uint16_t get16(const unsigned char *p) {
  return std::uint16_t(p[0] | p[1] << 8);
}
inline std::uint32_t get32(const unsigned char *p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 |
         std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
inline void put16(unsigned char *p, std::uint32_t value) {
  p[0] = std::uint8_t(value);
  p[1] = std::uint8_t(value >> 8);
}
inline void put32(unsigned char *p, std::uint32_t value) {
  put16(p, value);
  put16(p + 2, value >> 16);
}

/// Where everything lies, worked out from a boot sector that passed the
/// checks of Parse(): every offset below is inside the range.
struct Geometry {
  FatType type = FatType::Fat32;
  std::uint32_t sector_bytes = 0;
  std::uint32_t cluster_bytes = 0;
  std::uint32_t fat_count = 0;
  std::uint32_t fat_sectors = 0; ///< of one copy
  std::uint32_t active_fat = 0;  ///< the copy read
  std::uint64_t fat_offset = 0;  ///< of the first copy
  std::uint64_t root_offset = 0; ///< the fixed root of FAT12/16
  std::uint32_t root_records = 0;
  std::uint32_t root_cluster = 0; ///< FAT32
  std::uint64_t data_offset = 0;
  std::uint32_t cluster_count = 0;
  std::uint32_t fsinfo_sector = 0; ///< 0: none

  /// The layout a boot sector describes for a range of `length` bytes;
  /// nullopt unless it is sound.
  static std::optional<Geometry> Parse(const unsigned char (&boot)[512],
                                       std::uint64_t length);

  std::uint32_t last_cluster() const { return cluster_count + 1; }
  bool is_cluster(std::uint32_t cluster) const {
    return cluster >= 2 && cluster <= last_cluster();
  }
  std::uint64_t cluster_offset(std::uint32_t cluster) const {
    return data_offset + std::uint64_t(cluster - 2) * cluster_bytes;
  }
  std::uint32_t end_of_chain() const;
};

class ClusterTable {
public:
  ClusterTable(BlockIo &io, const Geometry &geometry);

  /// Reads FSInfo for the free count and the next-free hint.
  void LoadFsInfo();

  /// The cluster after `cluster` in its chain, 0 at the end of the chain;
  /// ERROR_FILE_CORRUPT for a free, bad or out-of-range link.
  std::uint32_t Next(std::uint32_t cluster, std::uint32_t &next);
  /// Takes `count` free clusters, from the next-free hint on, and chains
  /// them after `after` (0: a new chain); all or none. ERROR_DISK_FULL.
  std::uint32_t Allocate(std::uint32_t count, std::uint32_t after,
                         std::vector<std::uint32_t> &clusters);
  /// Makes `to` follow `from`, the end of a chain.
  std::uint32_t Link(std::uint32_t from, std::uint32_t to) { return Set(from, to); }
  /// Marks the chain from `first` free.
  std::uint32_t FreeChain(std::uint32_t first);
  /// The number of free clusters, counted once if FSInfo did not hold it.
  std::uint32_t FreeCount(std::uint32_t &count);

  /// Writes the changed sectors to every FAT copy.
  std::uint32_t Commit();
  /// Brings FSInfo up to date with the count and the hint.
  std::uint32_t WriteFsInfo();

private:
  struct Sector {
    std::vector<unsigned char> bytes;
    bool dirty = false;
  };

  std::uint32_t Get(std::uint32_t cluster, std::uint32_t &value);
  std::uint32_t Set(std::uint32_t cluster, std::uint32_t value);
  std::uint32_t Byte(std::uint64_t offset, unsigned char *&byte, bool change);
  std::uint32_t Load(std::uint32_t sector, Sector *&loaded);
  std::uint32_t WriteSectors(std::uint32_t first, const unsigned char *data,
                             std::uint32_t count);
  std::uint32_t PutFsInfo(std::uint32_t free_count);

  BlockIo &io_;
  const Geometry &geometry_;
  std::unordered_map<std::uint32_t, Sector> sectors_;
  std::vector<std::uint32_t> dirty_; ///< indexes of the changed sectors
  std::uint32_t last_index_ = 0;
  Sector *last_ = nullptr;

  std::vector<unsigned char> fsinfo_; ///< the FSInfo sector; empty: none
  bool count_on_disk_ = false; ///< FSInfo on the medium holds the right count
  std::uint32_t hint_on_disk_ = 0;
  bool free_known_ = false;
  std::uint32_t free_count_ = 0;
  std::uint32_t next_free_ = 2;
};

} // namespace corvantix::fat
