#include "disk/fat/table.h"

#include "platform/win32api.h"

#include <algorithm>
#include <bit>

namespace corvantix::fat {
namespace {

constexpr std::uint32_t kMaxClusters = 0x0FFFFFF5;
constexpr std::size_t kCacheBytes = 1 << 20;
constexpr std::uint32_t kReadAhead = 16; // FAT sectors read on a miss

// FSInfo fields, by byte offset in its sector.
constexpr std::uint32_t kLeadSignature = 0x41615252;
constexpr std::uint32_t kStructSignature = 0x61417272;
constexpr std::uint32_t kTrailSignature = 0xAA550000;
constexpr std::size_t kFreeCountAt = 488;
constexpr std::size_t kNextFreeAt = 492;
constexpr std::uint32_t kUnknown = 0xFFFFFFFF;

std::uint32_t first_end_marker(FatType type) {
  switch (type) {
  case FatType::Fat12: return 0xFF8;
  case FatType::Fat16: return 0xFFF8;
  case FatType::Fat32: return 0x0FFFFFF8;
  }
  return 0;
}

// Bytes one FAT copy needs for `entries` entries.
std::uint64_t table_bytes(FatType type, std::uint64_t entries) {
  switch (type) {
  case FatType::Fat12: return (entries * 3 + 1) / 2;
  case FatType::Fat16: return entries * 2;
  case FatType::Fat32: return entries * 4;
  }
  return 0;
}

} // namespace

std::optional<Geometry> Geometry::Parse(const unsigned char (&boot)[512],
                                        std::uint64_t length) {
  const std::uint32_t sector = get16(boot + 11);
  const std::uint32_t per_cluster = boot[13];
  const std::uint32_t reserved = get16(boot + 14);
  const std::uint32_t fats = boot[16];
  const std::uint32_t root_entries = get16(boot + 17);
  const std::uint64_t total = get16(boot + 19) ? get16(boot + 19) : get32(boot + 32);
  const std::uint32_t fat16_size = get16(boot + 22);
  const std::uint32_t fat_size = fat16_size ? fat16_size : get32(boot + 36);

  if (sector < 512 || sector > 4096 || !std::has_single_bit(sector) ||
      !std::has_single_bit(per_cluster) || reserved == 0 || fats == 0 ||
      fat_size == 0 || total * sector > length)
    return std::nullopt;
  const std::uint64_t root_sectors = (root_entries * 32 + sector - 1) / sector;
  const std::uint64_t data_sector =
      reserved + std::uint64_t(fats) * fat_size + root_sectors;
  if (data_sector >= total)
    return std::nullopt;
  const std::uint64_t clusters = (total - data_sector) / per_cluster;
  if (clusters == 0 || clusters > kMaxClusters)
    return std::nullopt;

  Geometry g;
  g.type = clusters < 4085    ? FatType::Fat12
           : clusters < 65525 ? FatType::Fat16
                              : FatType::Fat32;
  // The FAT32 layout (no fixed root, 32-bit FAT size) must match the type.
  if ((g.type == FatType::Fat32) != (fat16_size == 0) ||
      (g.type == FatType::Fat32) != (root_entries == 0))
    return std::nullopt;
  if (table_bytes(g.type, clusters + 2) > std::uint64_t(fat_size) * sector)
    return std::nullopt;

  g.sector_bytes = sector;
  g.cluster_bytes = sector * per_cluster;
  g.fat_count = fats;
  g.fat_sectors = fat_size;
  g.fat_offset = std::uint64_t(reserved) * sector;
  g.root_offset = (reserved + std::uint64_t(fats) * fat_size) * sector;
  g.root_records = root_entries;
  g.data_offset = data_sector * sector;
  g.cluster_count = std::uint32_t(clusters);
  if (g.type == FatType::Fat32) {
    g.root_cluster = get32(boot + 44);
    if (!g.is_cluster(g.root_cluster))
      return std::nullopt;
    const std::uint16_t flags = get16(boot + 40);
    if (flags & 0x80) // mirroring off: one copy is the live one
      g.active_fat = flags & 0x0F;
    if (g.active_fat >= fats)
      return std::nullopt;
    const std::uint32_t fsinfo = get16(boot + 48);
    g.fsinfo_sector = fsinfo < reserved ? fsinfo : 0;
  }
  return g;
}

std::uint32_t Geometry::end_of_chain() const {
  return first_end_marker(type) | 7;
}

ClusterTable::ClusterTable(BlockIo &io, const Geometry &geometry)
    : io_(io), geometry_(geometry) {}

void ClusterTable::LoadFsInfo() {
  if (!geometry_.fsinfo_sector)
    return;
  std::vector<unsigned char> sector(geometry_.sector_bytes);
  if (io_.Read(std::uint64_t(geometry_.fsinfo_sector) * geometry_.sector_bytes,
               sector.data(), sector.size()) ||
      get32(&sector[0]) != kLeadSignature ||
      get32(&sector[484]) != kStructSignature ||
      get32(&sector[508]) != kTrailSignature)
    return;
  fsinfo_ = std::move(sector);
  const std::uint32_t count = get32(&fsinfo_[kFreeCountAt]);
  const std::uint32_t hint = get32(&fsinfo_[kNextFreeAt]);
  free_known_ = count <= geometry_.cluster_count;
  free_count_ = free_known_ ? count : 0;
  count_on_disk_ = free_known_;
  // A hint out of range reads as "none": it needs no rewrite until one is
  // used.
  if (geometry_.is_cluster(hint))
    next_free_ = hint;
  hint_on_disk_ = next_free_;
}

std::uint32_t ClusterTable::Load(std::uint32_t index, Sector *&loaded) {
  if (last_ && last_index_ == index) {
    loaded = last_;
    return 0;
  }
  auto found = sectors_.find(index);
  if (found == sectors_.end()) {
    if (sectors_.size() * geometry_.sector_bytes >= kCacheBytes) {
      if (std::uint32_t error = Commit())
        return error;
      sectors_.clear();
      last_ = nullptr;
    }
    std::uint32_t count = 1;
    while (count < kReadAhead && index + count < geometry_.fat_sectors &&
           !sectors_.count(index + count))
      ++count;
    const std::size_t bytes = geometry_.sector_bytes;
    std::vector<unsigned char> chunk(count * bytes);
    const std::uint64_t copy = std::uint64_t(geometry_.active_fat) *
                               geometry_.fat_sectors * bytes;
    if (std::uint32_t error = io_.Read(geometry_.fat_offset + copy + std::uint64_t(index) * bytes,
                                       chunk.data(), chunk.size()))
      return error;
    for (std::uint32_t i = 0; i < count; ++i) {
      auto at = chunk.begin() + std::ptrdiff_t(i * bytes);
      sectors_.try_emplace(index + i,
                           Sector{std::vector<unsigned char>(at, at + std::ptrdiff_t(bytes))});
    }
    found = sectors_.find(index);
  }
  last_index_ = index;
  last_ = loaded = &found->second;
  return 0;
}

std::uint32_t ClusterTable::Byte(std::uint64_t offset, unsigned char *&byte,
                                 bool change) {
  Sector *sector;
  if (std::uint32_t error = Load(std::uint32_t(offset / geometry_.sector_bytes), sector))
    return error;
  if (change && !sector->dirty)
    dirty_.push_back(std::uint32_t(offset / geometry_.sector_bytes));
  sector->dirty |= change;
  byte = &sector->bytes[offset % geometry_.sector_bytes];
  return 0;
}

std::uint32_t ClusterTable::Get(std::uint32_t cluster, std::uint32_t &value) {
  if (!geometry_.is_cluster(cluster))
    return ERROR_FILE_CORRUPT;
  unsigned char *p;
  std::uint32_t error = 0;
  switch (geometry_.type) {
  case FatType::Fat12: {
    // An entry may straddle two sectors: each byte is fetched on its own.
    const std::uint64_t at = cluster + cluster / 2;
    if ((error = Byte(at, p, false)))
      return error;
    const std::uint32_t low = *p;
    if ((error = Byte(at + 1, p, false)))
      return error;
    const std::uint32_t both = low | std::uint32_t(*p) << 8;
    value = cluster & 1 ? both >> 4 : both & 0xFFF;
    return 0;
  }
  case FatType::Fat16:
    if (!(error = Byte(std::uint64_t(cluster) * 2, p, false)))
      value = get16(p);
    return error;
  case FatType::Fat32:
    if (!(error = Byte(std::uint64_t(cluster) * 4, p, false)))
      value = get32(p) & 0x0FFFFFFF;
    return error;
  }
  return ERROR_INVALID_PARAMETER;
}

std::uint32_t ClusterTable::Set(std::uint32_t cluster, std::uint32_t value) {
  if (!geometry_.is_cluster(cluster))
    return ERROR_FILE_CORRUPT;
  unsigned char *p;
  std::uint32_t error = 0;
  switch (geometry_.type) {
  case FatType::Fat12: {
    const std::uint64_t at = cluster + cluster / 2;
    const bool odd = cluster & 1;
    if ((error = Byte(at, p, true)))
      return error;
    *p = odd ? std::uint8_t((*p & 0x0F) | (value << 4 & 0xF0)) : std::uint8_t(value);
    if ((error = Byte(at + 1, p, true)))
      return error;
    *p = odd ? std::uint8_t(value >> 4) : std::uint8_t((*p & 0xF0) | (value >> 8 & 0x0F));
    return 0;
  }
  case FatType::Fat16:
    if (!(error = Byte(std::uint64_t(cluster) * 2, p, true)))
      put16(p, value);
    return error;
  case FatType::Fat32:
    // The top four bits are reserved and kept as they are.
    if (!(error = Byte(std::uint64_t(cluster) * 4, p, true)))
      put32(p, (get32(p) & 0xF0000000) | (value & 0x0FFFFFFF));
    return error;
  }
  return ERROR_INVALID_PARAMETER;
}

std::uint32_t ClusterTable::Next(std::uint32_t cluster, std::uint32_t &next) {
  std::uint32_t value;
  if (std::uint32_t error = Get(cluster, value))
    return error;
  if (value >= first_end_marker(geometry_.type))
    next = 0;
  else if (geometry_.is_cluster(value))
    next = value;
  else
    return ERROR_FILE_CORRUPT;
  return 0;
}

std::uint32_t ClusterTable::Allocate(std::uint32_t count, std::uint32_t after,
                                     std::vector<std::uint32_t> &clusters) {
  clusters.clear();
  if (count == 0)
    return 0;
  std::uint32_t cursor = next_free_;
  for (std::uint32_t scanned = 0;
       scanned < geometry_.cluster_count && clusters.size() < count; ++scanned) {
    std::uint32_t value;
    if (std::uint32_t error = Get(cursor, value))
      return error;
    if (value == 0)
      clusters.push_back(cursor);
    cursor = cursor == geometry_.last_cluster() ? 2 : cursor + 1;
  }
  if (clusters.size() < count) {
    clusters.clear();
    return ERROR_DISK_FULL;
  }
  std::uint32_t previous = after;
  for (std::uint32_t cluster : clusters) {
    if (previous)
      if (std::uint32_t error = Set(previous, cluster))
        return error;
    previous = cluster;
  }
  if (previous)
    if (std::uint32_t error = Set(previous, geometry_.end_of_chain()))
      return error;
  next_free_ = cursor;
  free_known_ = free_known_ && free_count_ >= count;
  free_count_ = free_known_ ? free_count_ - count : 0;
  return 0;
}

std::uint32_t ClusterTable::FreeChain(std::uint32_t first) {
  std::uint32_t cluster = first;
  // Each link is cleared before it is followed, so a loop ends at a free
  // entry.
  while (cluster) {
    std::uint32_t value;
    if (std::uint32_t error = Get(cluster, value))
      return error;
    if (value == 0)
      return ERROR_FILE_CORRUPT;
    if (std::uint32_t error = Set(cluster, 0))
      return error;
    if (free_known_)
      ++free_count_;
    if (value >= first_end_marker(geometry_.type))
      break;
    if (!geometry_.is_cluster(value))
      return ERROR_FILE_CORRUPT;
    cluster = value;
  }
  return 0;
}

std::uint32_t ClusterTable::FreeCount(std::uint32_t &count) {
  if (!free_known_) {
    std::uint32_t free = 0;
    for (std::uint32_t cluster = 2; cluster <= geometry_.last_cluster(); ++cluster) {
      std::uint32_t value;
      if (std::uint32_t error = Get(cluster, value))
        return error;
      free += value == 0;
    }
    free_count_ = free;
    free_known_ = true;
    if (std::uint32_t error = WriteFsInfo())
      return error;
  }
  count = free_count_;
  return 0;
}

std::uint32_t ClusterTable::WriteSectors(std::uint32_t first,
                                         const unsigned char *data,
                                         std::uint32_t count) {
  const std::uint64_t bytes = geometry_.sector_bytes;
  for (std::uint32_t copy = 0; copy < geometry_.fat_count; ++copy) {
    const std::uint64_t at = geometry_.fat_offset +
                             (std::uint64_t(copy) * geometry_.fat_sectors + first) * bytes;
    if (std::uint32_t error = io_.Write(at, data, count * bytes))
      return error;
  }
  return 0;
}

std::uint32_t ClusterTable::Commit() {
  std::vector<std::uint32_t> dirty;
  dirty.swap(dirty_);
  if (dirty.empty())
    return 0;
  // Until the count is written again, FSInfo says it does not know it.
  if (count_on_disk_) {
    if (std::uint32_t error = PutFsInfo(kUnknown))
      return error;
    count_on_disk_ = false;
  }
  std::sort(dirty.begin(), dirty.end());
  std::vector<unsigned char> run;
  for (std::size_t i = 0; i < dirty.size();) {
    std::size_t end = i + 1;
    while (end < dirty.size() && dirty[end] == dirty[end - 1] + 1)
      ++end;
    run.clear();
    for (std::size_t j = i; j < end; ++j) {
      Sector &sector = sectors_[dirty[j]];
      run.insert(run.end(), sector.bytes.begin(), sector.bytes.end());
      sector.dirty = false;
    }
    if (std::uint32_t error = WriteSectors(dirty[i], run.data(), std::uint32_t(end - i)))
      return error;
    i = end;
  }
  return 0;
}

std::uint32_t ClusterTable::PutFsInfo(std::uint32_t free_count) {
  put32(&fsinfo_[kFreeCountAt], free_count);
  put32(&fsinfo_[kNextFreeAt], next_free_);
  hint_on_disk_ = next_free_;
  return io_.Write(std::uint64_t(geometry_.fsinfo_sector) * geometry_.sector_bytes,
                   fsinfo_.data(), fsinfo_.size());
}

std::uint32_t ClusterTable::WriteFsInfo() {
  if (fsinfo_.empty() || (count_on_disk_ == free_known_ && hint_on_disk_ == next_free_))
    return 0;
  if (std::uint32_t error = PutFsInfo(free_known_ ? free_count_ : kUnknown))
    return error;
  count_on_disk_ = free_known_;
  return 0;
}

} // namespace corvantix::fat
