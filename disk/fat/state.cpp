#include "disk/fat/state.h"

#include "platform/win32api.h"

#include <algorithm>
#include <cstring>

namespace corvantix::fat {
namespace {

constexpr std::uint32_t kMaxFolderRecords = 65536; // as Windows allows
constexpr std::size_t kFolderCacheBytes = 16 << 20;
constexpr unsigned kMaxTail = 999999;

} // namespace

std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    if (!part.empty())
      parts.push_back(part);
    if (slash == std::string_view::npos)
      break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

std::uint32_t FatVolume::State::first_cluster(const unsigned char *record) const {
  const std::uint32_t high =
      geometry.type == FatType::Fat32 ? get16(record + kClusterHighAt) : 0;
  return high << 16 | get16(record + kClusterLowAt);
}

DirEntry FatVolume::State::EntryOf(Folder &folder, std::uint32_t index) {
  const Item &item = folder.items.at(index);
  const unsigned char *record = folder.record(index);
  DirEntry entry;
  entry.short_name = utf8_of(display_name(short_name_of(record)));
  entry.name = item.long_name.empty() ? entry.short_name : utf8_of(item.long_name);
  entry.attributes = record[kAttributesAt];
  entry.size = get32(record + kSizeAt);
  entry.first_cluster = first_cluster(record);
  entry.written = {get16(record + kWriteDateAt), get16(record + kWriteTimeAt)};
  entry.created = {get16(record + kCreateDateAt), get16(record + kCreateTimeAt)};
  entry.created_hundredths = record[kCreateHundredthsAt];
  return entry;
}

std::uint32_t FatVolume::State::Settle() {
  if (std::uint32_t error = table.Commit())
    return error;
  std::vector<std::uint32_t> keys;
  keys.swap(unsettled);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    auto folder = folders.find(keys[i]);
    if (folder == folders.end())
      continue;
    if (std::uint32_t error = WriteRecords(*folder->second)) {
      unsettled.insert(unsettled.end(), keys.begin() + std::ptrdiff_t(i), keys.end());
      return error;
    }
  }
  return 0;
}

// Reads whole clusters, one call per contiguous run.
std::uint32_t FatVolume::State::ReadClusters(std::span<const std::uint32_t> clusters,
                                             unsigned char *out) {
  const std::size_t size = geometry.cluster_bytes;
  for (std::size_t i = 0; i < clusters.size();) {
    std::size_t run = 1;
    while (i + run < clusters.size() && clusters[i + run] == clusters[i] + run)
      ++run;
    if (std::uint32_t error = io.Read(geometry.cluster_offset(clusters[i]),
                                      out + i * size, run * size))
      return error;
    i += run;
  }
  return 0;
}

// Drops the folders no call holds; what they changed is written first.
void FatVolume::State::Evict() {
  if (Settle())
    return; // kept: their changes are not on the medium
  std::erase_if(folders, [](const auto &entry) { return entry.second.use_count() == 1; });
  folder_bytes = 0;
  for (const auto &entry : folders)
    folder_bytes += entry.second->bytes.size();
}

std::uint32_t FatVolume::State::LoadFolder(std::uint32_t cluster,
                                           std::shared_ptr<Folder> &folder) {
  if (auto cached = folders.find(cluster); cached != folders.end()) {
    folder = cached->second;
    return 0;
  }
  auto loaded = std::make_shared<Folder>();
  loaded->cluster = cluster;
  if (cluster == 0) {
    const std::uint32_t sector = geometry.sector_bytes;
    loaded->capacity = geometry.root_records;
    loaded->bytes.resize((loaded->capacity * kRecord + sector - 1) / sector * sector);
    if (std::uint32_t error = io.Read(geometry.root_offset, loaded->bytes.data(),
                                      loaded->bytes.size()))
      return error;
  } else {
    if (!geometry.is_cluster(cluster))
      return ERROR_FILE_CORRUPT;
    // A folder holds at most 65536 entries and no chain is longer than the
    // volume, either of which also ends a looping chain.
    for (std::uint32_t at = cluster; at;) {
      if (loaded->clusters.size() * geometry.cluster_bytes >= kMaxFolderRecords * kRecord ||
          loaded->clusters.size() >= geometry.cluster_count)
        return ERROR_FILE_CORRUPT;
      loaded->clusters.push_back(at);
      if (std::uint32_t error = table.Next(at, at))
        return error;
    }
    loaded->bytes.resize(loaded->clusters.size() * geometry.cluster_bytes);
    loaded->capacity = std::uint32_t(loaded->bytes.size() / kRecord);
    if (std::uint32_t error = ReadClusters(loaded->clusters, loaded->bytes.data()))
      return error;
  }
  loaded->Parse();
  if (folder_bytes + loaded->bytes.size() > kFolderCacheBytes)
    Evict();
  folder_bytes += loaded->bytes.size();
  folders[cluster] = loaded;
  folder = std::move(loaded);
  return 0;
}

// Walks from the root through `parts`, each of which must be a folder.
std::uint32_t FatVolume::State::OpenFolder(std::span<const std::string_view> parts,
                                           std::shared_ptr<Folder> &folder) {
  if (std::uint32_t error = LoadFolder(root_key(), folder))
    return error;
  for (std::string_view part : parts) {
    std::optional<std::u16string> name = utf16_of(part);
    if (!name)
      return ERROR_INVALID_NAME;
    std::optional<std::uint32_t> index = folder->Lookup(*name);
    if (!index)
      return ERROR_PATH_NOT_FOUND;
    const unsigned char *record = folder->record(*index);
    if (!(record[kAttributesAt] & kDirectory))
      return ERROR_DIRECTORY;
    const std::uint32_t cluster = first_cluster(record);
    if (cluster == 0 || cluster == root_key() || cluster == folder->cluster)
      return ERROR_FILE_CORRUPT;
    std::shared_ptr<Folder> child;
    if (std::uint32_t error = LoadFolder(cluster, child))
      return error;
    folder = std::move(child);
  }
  return 0;
}

// The folder holding `path` and the entry's index in it. For a missing
// entry, ERROR_FILE_NOT_FOUND with `folder` and `leaf` set; for the root,
// 0 with no folder.
std::uint32_t FatVolume::State::Locate(std::string_view path,
                                       std::shared_ptr<Folder> &folder,
                                       std::uint32_t &index, std::u16string &leaf) {
  folder.reset();
  const std::vector<std::string_view> parts = components(path);
  if (parts.empty())
    return 0;
  std::shared_ptr<Folder> parent;
  if (std::uint32_t error =
          OpenFolder(std::span(parts).first(parts.size() - 1), parent))
    return error;
  std::optional<std::u16string> name = utf16_of(parts.back());
  if (!name)
    return ERROR_INVALID_NAME;
  leaf = std::move(*name);
  folder = std::move(parent);
  std::optional<std::uint32_t> found = folder->Lookup(leaf);
  if (!found)
    return ERROR_FILE_NOT_FOUND;
  index = *found;
  return 0;
}

// The folder and index of an existing entry; the root has none to change.
std::uint32_t FatVolume::State::LocateEntry(std::string_view path,
                                            std::shared_ptr<Folder> &folder,
                                            std::uint32_t &index) {
  std::u16string leaf;
  if (std::uint32_t error = Locate(path, folder, index, leaf))
    return error;
  return folder ? 0 : ERROR_ACCESS_DENIED;
}

void FatVolume::State::Touch(Folder &folder, std::uint32_t first, std::uint32_t count) {
  if (folder.touched == folder.touched_end) {
    folder.touched = first;
    folder.touched_end = first + count;
    unsettled.push_back(folder.cluster);
    return;
  }
  folder.touched = std::min(folder.touched, first);
  folder.touched_end = std::max(folder.touched_end, first + count);
}

// Writes the whole sectors that hold the touched records.
std::uint32_t FatVolume::State::WriteRecords(Folder &folder) {
  const std::size_t sector = geometry.sector_bytes;
  std::size_t at = folder.touched * kRecord / sector * sector;
  const std::size_t end = std::min(
      folder.bytes.size(), (folder.touched_end * kRecord + sector - 1) / sector * sector);
  if (at >= end)
    return 0;
  folder.touched = folder.touched_end = 0;
  if (folder.cluster == 0)
    return io.Write(geometry.root_offset + at, &folder.bytes[at], end - at);
  const std::size_t size = geometry.cluster_bytes;
  while (at < end) {
    std::size_t index = at / size;
    std::size_t length = std::min(end - at, size - at % size);
    while (at + length < end && folder.clusters[index + 1] == folder.clusters[index] + 1) {
      ++index;
      length += std::min(end - at - length, size);
    }
    const std::uint64_t offset = geometry.cluster_offset(folder.clusters[at / size]);
    if (std::uint32_t error = io.Write(offset + at % size, &folder.bytes[at], length))
      return error;
    at += length;
  }
  return 0;
}

// Adds a zeroed cluster to a folder's chain: zeroed on the medium, then
// ended in the FAT, then linked, each step written before the next.
std::uint32_t FatVolume::State::Grow(Folder &folder) {
  const std::uint32_t size = geometry.cluster_bytes;
  if (folder.cluster == 0 || folder.capacity + size / kRecord > kMaxFolderRecords)
    return ERROR_DISK_FULL;
  std::vector<std::uint32_t> added;
  if (std::uint32_t error = table.Allocate(1, 0, added))
    return error;
  const std::vector<unsigned char> zeros(size, 0);
  std::uint32_t error = io.Write(geometry.cluster_offset(added[0]), zeros.data(), size);
  if (!error)
    error = table.Commit();
  if (!error)
    error = table.Link(folder.clusters.back(), added[0]);
  if (!error)
    error = table.Commit();
  if (error) {
    table.FreeChain(added[0]);
    return error;
  }
  folder.bytes.resize(folder.bytes.size() + size, 0);
  folder.clusters.push_back(added[0]);
  folder.capacity += size / kRecord;
  folder_bytes += size;
  return 0;
}

// The first run of `count` free records, growing the folder if need be.
// An entry split over clusters apart on the medium would be two writes, and
// a kill between them would leave half a name: a run stays within one
// cluster, or, for an entry longer than one, within neighbouring clusters.
std::uint32_t FatVolume::State::Reserve(Folder &folder, std::uint32_t count,
                                        std::uint32_t &at) {
  const std::uint32_t per_cluster =
      folder.cluster ? geometry.cluster_bytes / kRecord : folder.capacity;
  // Whether cluster k follows cluster k-1 on the medium, and so both go
  // out in one write.
  auto joined = [&](std::uint32_t k) {
    return k > 0 && count > per_cluster && folder.clusters[k] == folder.clusters[k - 1] + 1;
  };
  for (;;) {
    std::uint32_t run = 0;
    for (std::uint32_t i = 0; i < folder.capacity; ++i) {
      if (i % per_cluster == 0 && !joined(i / per_cluster))
        run = 0;
      run = folder.is_free(i) ? run + 1 : 0;
      if (run == count) {
        at = i + 1 - count;
        return 0;
      }
    }
    if (std::uint32_t error = Grow(folder))
      return error;
  }
}

// A plain 8.3 name stands alone; any other gets the basis name, with the
// first numeric tail that no entry's short or long name reads as.
std::uint32_t FatVolume::State::ChooseShortName(Folder &folder, std::u16string_view name,
                                                ShortName &chosen, bool &alone) {
  if (std::optional<ShortName> exact = exact_short_name(name)) {
    chosen = *exact;
    alone = true;
    return 0;
  }
  alone = false;
  bool lossy = false;
  const ShortName basis = basis_name(name, lossy);
  if (!lossy && !folder.Taken(basis)) {
    chosen = basis;
    return 0;
  }
  unsigned &tail = folder.tails[std::string(basis.bytes, sizeof basis.bytes)];
  for (tail = std::max(tail, 1u); tail <= kMaxTail; ++tail) {
    chosen = with_tail(basis, tail);
    if (!folder.Taken(chosen))
      return 0;
  }
  return ERROR_FILE_EXISTS;
}

std::uint32_t FatVolume::State::PrepareEntry(Folder &folder, std::u16string_view name,
                                             std::array<unsigned char, kRecord> entry,
                                             NewEntry &made) {
  ShortName short_name;
  bool alone = false;
  if (std::uint32_t error = ChooseShortName(folder, name, short_name, alone))
    return error;
  std::memcpy(entry.data(), short_name.bytes, sizeof short_name.bytes);
  entry[kCaseBitsAt] = short_name.case_bits;
  made.long_name = alone ? std::u16string() : std::u16string(name);
  made.records = entry_records(made.long_name, entry.data());
  return 0;
}

std::uint32_t FatVolume::State::PlaceEntry(Folder &folder, const NewEntry &made,
                                           std::uint32_t at, std::uint32_t &index) {
  const std::uint32_t count = made.count();
  std::uint32_t first = at;
  // Records skipped before the entry must not read as the end marker.
  for (; first > folder.end; --first) {
    std::memset(folder.record(first - 1), 0, kRecord);
    folder.record(first - 1)[0] = kFreeMark;
  }
  std::memcpy(folder.record(at), made.records.data(), made.records.size());
  std::uint32_t written = at - first + count;
  if (at + count > folder.end) {
    // Records past the end marker may hold anything: the one after the new
    // entry becomes the end marker.
    folder.end = at + count;
    if (folder.end < folder.capacity && folder.record(folder.end)[0] != 0) {
      std::memset(folder.record(folder.end), 0, kRecord);
      ++written;
    }
  }
  index = at + count - 1;
  folder.Index(index, Item{at, made.long_name});
  Touch(folder, first, written);
  return 0;
}

std::uint32_t FatVolume::State::AddEntry(Folder &folder, std::u16string_view name,
                                         std::array<unsigned char, kRecord> entry,
                                         std::uint32_t &index) {
  NewEntry made;
  std::uint32_t at = 0;
  if (std::uint32_t error = PrepareEntry(folder, name, entry, made))
    return error;
  if (std::uint32_t error = Reserve(folder, made.count(), at))
    return error;
  return PlaceEntry(folder, made, at, index);
}

void FatVolume::State::RemoveEntry(Folder &folder, std::uint32_t index) {
  const std::uint32_t first = folder.items.at(index).first;
  folder.Unindex(index);
  for (std::uint32_t i = first; i <= index; ++i)
    folder.record(i)[0] = kFreeMark;
  Touch(folder, first, index - first + 1);
}

std::uint32_t FatVolume::State::Release(std::uint32_t first) {
  if (std::uint32_t error = Settle())
    return error;
  return first ? table.FreeChain(first) : 0;
}

} // namespace corvantix::fat
