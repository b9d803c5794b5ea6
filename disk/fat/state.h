// What a mounted volume keeps between calls: the FAT, the folders read so
// far, and the changes of both not yet on the medium; for disk/fat alone.
//
// Order on the medium: a cluster's bytes (a file's data, a new folder's
// records) are written as soon as they are known; FAT sectors and folder
// records wait in memory and go out at Settle(), the FAT first. So the FAT
// never links a cluster before its bytes, and an entry never names a chain
// before the FAT holds it. Freeing runs the other way: the entry is settled
// gone before its chain is freed, so a kill leaves lost clusters at worst.
#pragma once

#include "disk/fat/folder.h"
#include "disk/fat/table.h"

#include <memory>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace corvantix::fat {

std::vector<std::string_view> components(std::string_view path);

/// The records of a new entry, placed by PlaceEntry().
struct NewEntry {
  std::vector<unsigned char> records;
  std::u16string long_name; ///< empty: the short name stands alone
  std::uint32_t count() const { return std::uint32_t(records.size() / kRecord); }
};

struct FatVolume::State {
  State(BlockIo &io, const Geometry &geometry)
      : io(io), geometry(geometry), table(io, this->geometry) {}

  BlockIo &io;
  const Geometry geometry;
  ClusterTable table;
  std::unordered_map<std::uint32_t, std::shared_ptr<Folder>> folders;
  std::size_t folder_bytes = 0;
  std::vector<std::uint32_t> unsettled; ///< folders with records to write

  std::uint32_t root_key() const {
    return geometry.type == FatType::Fat32 ? geometry.root_cluster : 0;
  }
  std::uint32_t first_cluster(const unsigned char *record) const;
  DirEntry EntryOf(Folder &folder, std::uint32_t index);

  /// Writes the changed FAT sectors, then the changed folder records.
  std::uint32_t Settle();

  std::uint32_t ReadClusters(std::span<const std::uint32_t> clusters, unsigned char *out);
  std::uint32_t LoadFolder(std::uint32_t cluster, std::shared_ptr<Folder> &folder);
  std::uint32_t OpenFolder(std::span<const std::string_view> parts,
                           std::shared_ptr<Folder> &folder);
  std::uint32_t Locate(std::string_view path, std::shared_ptr<Folder> &folder,
                       std::uint32_t &index, std::u16string &leaf);
  std::uint32_t LocateEntry(std::string_view path, std::shared_ptr<Folder> &folder,
                            std::uint32_t &index);
  /// Marks records first..first+count-1 for the next Settle().
  void Touch(Folder &folder, std::uint32_t first, std::uint32_t count);
  std::uint32_t Grow(Folder &folder);
  std::uint32_t Reserve(Folder &folder, std::uint32_t count, std::uint32_t &at);
  std::uint32_t ChooseShortName(Folder &folder, std::u16string_view name,
                                ShortName &chosen, bool &alone);
  std::uint32_t PrepareEntry(Folder &folder, std::u16string_view name,
                             std::array<unsigned char, kRecord> entry, NewEntry &made);
  std::uint32_t PlaceEntry(Folder &folder, const NewEntry &made, std::uint32_t at,
                           std::uint32_t &index);
  std::uint32_t AddEntry(Folder &folder, std::u16string_view name,
                         std::array<unsigned char, kRecord> entry, std::uint32_t &index);
  void RemoveEntry(Folder &folder, std::uint32_t index);
  /// Frees a chain that an entry named until now: the entry's change is
  /// settled first.
  std::uint32_t Release(std::uint32_t first);

private:
  std::uint32_t WriteRecords(Folder &folder);
  void Evict();
};

} // namespace corvantix::fat
