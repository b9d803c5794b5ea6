#include "disk/fat/volume.h"

#include "disk/fat/folder.h"
#include "disk/fat/table.h"
#include "platform/win32api.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <unordered_map>

namespace corvantix::fat {
namespace {

constexpr std::uint32_t kMaxFolderRecords = 65536; // as Windows allows
constexpr std::size_t kFolderCacheBytes = 16 << 20;
constexpr unsigned kMaxTail = 999999;
constexpr std::uint8_t kSettable = kReadOnly | kHidden | kSystem | kArchive;

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

std::uint32_t check_new_name(std::u16string_view name) {
  if (name.size() > kMaxLongName)
    return ERROR_FILENAME_EXCED_RANGE;
  return is_valid_long_name(name) ? 0 : ERROR_INVALID_NAME;
}

} // namespace

struct FatVolume::State {
  State(BlockIo &io, const Geometry &geometry)
      : io(io), geometry(geometry), table(io, this->geometry) {}

  BlockIo &io;
  const Geometry geometry;
  ClusterTable table;
  std::unordered_map<std::uint32_t, std::shared_ptr<Folder>> folders;
  std::size_t folder_bytes = 0;

  /// Ends a call: the FAT sectors it changed go to every copy.
  std::uint32_t Done(std::uint32_t error) {
    const std::uint32_t committed = table.Commit();
    return error ? error : committed;
  }

  std::uint32_t root_key() const {
    return geometry.type == FatType::Fat32 ? geometry.root_cluster : 0;
  }

  std::uint32_t first_cluster(const unsigned char *record) const {
    const std::uint32_t high =
        geometry.type == FatType::Fat32 ? get16(record + kClusterHighAt) : 0;
    return high << 16 | get16(record + kClusterLowAt);
  }

  DirEntry EntryOf(Folder &folder, std::uint32_t index) {
    const Item &item = folder.items.at(index);
    const unsigned char *record = folder.record(index);
    DirEntry entry;
    entry.short_name = utf8_of(display_name(short_name_of(record)));
    entry.name = item.long_name.empty() ? entry.short_name : utf8_of(item.long_name);
    entry.attributes = record[kAttributesAt];
    entry.size = get32(record + kSizeAt);
    entry.first_cluster = first_cluster(record);
    entry.written = {get16(record + kWriteDateAt), get16(record + kWriteTimeAt)};
    return entry;
  }

  std::uint32_t ReadClusters(std::span<const std::uint32_t> clusters, unsigned char *out);
  std::uint32_t LoadFolder(std::uint32_t cluster, std::shared_ptr<Folder> &folder);
  std::uint32_t OpenFolder(std::span<const std::string_view> parts,
                           std::shared_ptr<Folder> &folder);
  std::uint32_t Locate(std::string_view path, std::shared_ptr<Folder> &folder,
                       std::uint32_t &index, std::u16string &leaf);
  std::uint32_t LocateEntry(std::string_view path, std::shared_ptr<Folder> &folder,
                            std::uint32_t &index);
  std::uint32_t WriteRecords(Folder &folder, std::uint32_t first, std::uint32_t count);
  std::uint32_t Grow(Folder &folder);
  std::uint32_t Reserve(Folder &folder, std::uint32_t count, std::uint32_t &at);
  std::uint32_t ChooseShortName(Folder &folder, std::u16string_view name,
                                ShortName &chosen, bool &alone);
  std::uint32_t AddEntry(Folder &folder, std::u16string_view name,
                         std::array<unsigned char, kRecord> entry, std::uint32_t &index);
  std::uint32_t RemoveEntry(Folder &folder, std::uint32_t index);
};

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
    // A folder holds at most 65536 entries, which also ends a looping chain.
    for (std::uint32_t at = cluster; at;) {
      if (loaded->clusters.size() * geometry.cluster_bytes >= kMaxFolderRecords * kRecord)
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
  if (folder_bytes + loaded->bytes.size() > kFolderCacheBytes) {
    std::erase_if(folders, [](const auto &entry) { return entry.second.use_count() == 1; });
    folder_bytes = 0;
    for (const auto &entry : folders)
      folder_bytes += entry.second->bytes.size();
  }
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
    if (cluster == root_key())
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

// Writes the whole sectors that hold records first..first+count-1.
std::uint32_t FatVolume::State::WriteRecords(Folder &folder, std::uint32_t first,
                                             std::uint32_t count) {
  const std::size_t sector = geometry.sector_bytes;
  std::size_t at = first * kRecord / sector * sector;
  const std::size_t end =
      std::min(folder.bytes.size(), ((first + count) * kRecord + sector - 1) / sector * sector);
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

// Adds a zeroed cluster to a folder's chain.
std::uint32_t FatVolume::State::Grow(Folder &folder) {
  const std::uint32_t size = geometry.cluster_bytes;
  if (folder.cluster == 0 || folder.capacity + size / kRecord > kMaxFolderRecords)
    return ERROR_DISK_FULL;
  std::vector<std::uint32_t> added;
  if (std::uint32_t error = table.Allocate(1, folder.clusters.back(), added))
    return error;
  folder.bytes.resize(folder.bytes.size() + size, 0);
  folder.clusters.push_back(added[0]);
  folder.capacity += size / kRecord;
  folder_bytes += size;
  return io.Write(geometry.cluster_offset(added[0]), &folder.bytes[folder.bytes.size() - size],
                  size);
}

// The first run of `count` free records, growing the folder if need be.
std::uint32_t FatVolume::State::Reserve(Folder &folder, std::uint32_t count,
                                        std::uint32_t &at) {
  for (;;) {
    std::uint32_t run = 0;
    for (std::uint32_t i = 0; i < folder.capacity; ++i) {
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

std::uint32_t FatVolume::State::AddEntry(Folder &folder, std::u16string_view name,
                                         std::array<unsigned char, kRecord> entry,
                                         std::uint32_t &index) {
  ShortName short_name;
  bool alone = false;
  if (std::uint32_t error = ChooseShortName(folder, name, short_name, alone))
    return error;
  std::memcpy(entry.data(), short_name.bytes, sizeof short_name.bytes);
  entry[kCaseBitsAt] = short_name.case_bits;
  const std::vector<unsigned char> records =
      entry_records(alone ? std::u16string_view() : name, entry.data());
  const std::uint32_t count = std::uint32_t(records.size() / kRecord);
  std::uint32_t at;
  if (std::uint32_t error = Reserve(folder, count, at))
    return error;
  std::memcpy(folder.record(at), records.data(), records.size());
  std::uint32_t written = count;
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
  folder.Index(index, Item{at, alone ? std::u16string() : std::u16string(name)});
  return WriteRecords(folder, at, written);
}

std::uint32_t FatVolume::State::RemoveEntry(Folder &folder, std::uint32_t index) {
  const std::uint32_t first = folder.items.at(index).first;
  folder.Unindex(index);
  for (std::uint32_t i = first; i <= index; ++i)
    folder.record(i)[0] = kFreeMark;
  return WriteRecords(folder, first, index - first + 1);
}

FatVolume::FatVolume(std::unique_ptr<State> state) : state_(std::move(state)) {}

FatVolume::~FatVolume() { state_->table.WriteFsInfo(); }

std::uint32_t FatVolume::Mount(BlockIo &io, std::unique_ptr<FatVolume> &volume) {
  unsigned char boot[512];
  if (io.Length() < sizeof boot)
    return ERROR_UNRECOGNIZED_VOLUME;
  if (std::uint32_t error = io.Read(0, boot, sizeof boot))
    return error;
  std::optional<Geometry> geometry = Geometry::Parse(boot, io.Length());
  if (!geometry)
    return ERROR_UNRECOGNIZED_VOLUME;
  auto state = std::make_unique<State>(io, *geometry);
  state->table.LoadFsInfo();
  volume.reset(new FatVolume(std::move(state)));
  return 0;
}

FatType FatVolume::Type() const { return state_->geometry.type; }

std::uint32_t FatVolume::ClusterBytes() const { return state_->geometry.cluster_bytes; }

std::uint32_t FatVolume::List(std::string_view path, std::vector<DirEntry> &entries) {
  entries.clear();
  std::shared_ptr<Folder> folder;
  if (std::uint32_t error = state_->OpenFolder(components(path), folder))
    return error;
  entries.reserve(folder->items.size());
  for (const auto &item : folder->items)
    entries.push_back(state_->EntryOf(*folder, item.first));
  return 0;
}

std::uint32_t FatVolume::Find(std::string_view path, DirEntry &entry) {
  std::shared_ptr<Folder> folder;
  std::uint32_t index = 0;
  std::u16string leaf;
  if (std::uint32_t error = state_->Locate(path, folder, index, leaf))
    return error;
  if (!folder) {
    entry = DirEntry{};
    entry.attributes = kDirectory;
    entry.first_cluster = state_->root_key();
    return 0;
  }
  entry = state_->EntryOf(*folder, index);
  return 0;
}

std::uint32_t FatVolume::CreateFolder(std::string_view path, DosTime written) {
  State &state = *state_;
  std::shared_ptr<Folder> parent;
  std::uint32_t index = 0;
  std::u16string leaf;
  std::uint32_t error = state.Locate(path, parent, index, leaf);
  if (!error)
    return ERROR_ALREADY_EXISTS;
  if (error != ERROR_FILE_NOT_FOUND)
    return error;
  if ((error = check_new_name(leaf)))
    return error;

  std::vector<std::uint32_t> cluster;
  if ((error = state.table.Allocate(1, 0, cluster)))
    return state.Done(error);
  std::vector<unsigned char> content(state.geometry.cluster_bytes, 0);
  auto dot = short_record(kDirectory, cluster[0], written);
  std::memcpy(dot.data(), ".          ", 11);
  const std::uint32_t parent_cluster = parent->cluster == state.root_key() ? 0 : parent->cluster;
  auto dot_dot = short_record(kDirectory, parent_cluster, written);
  std::memcpy(dot_dot.data(), "..         ", 11);
  std::memcpy(&content[0], dot.data(), kRecord);
  std::memcpy(&content[kRecord], dot_dot.data(), kRecord);
  error = state.io.Write(state.geometry.cluster_offset(cluster[0]), content.data(), content.size());
  if (!error)
    error = state.AddEntry(*parent, leaf, short_record(kDirectory, cluster[0], written), index);
  if (error)
    state.table.FreeChain(cluster[0]);
  return state.Done(error);
}

std::uint32_t FatVolume::CreateOrTruncate(std::string_view path, std::uint8_t attributes,
                                    DosTime written, FileWriter &writer) {
  writer.Discard();
  State &state = *state_;
  std::shared_ptr<Folder> folder;
  std::uint32_t index = 0;
  std::u16string leaf;
  attributes &= kSettable;
  std::uint32_t error = state.Locate(path, folder, index, leaf);
  if (!error) {
    if (!folder)
      return ERROR_ACCESS_DENIED;
    unsigned char *record = folder->record(index);
    if (record[kAttributesAt] & (kDirectory | kReadOnly))
      return ERROR_ACCESS_DENIED;
    // Truncated: the entry first forgets its clusters, then they are freed.
    const std::uint32_t old = state.first_cluster(record);
    record[kAttributesAt] = attributes;
    put16(record + kClusterHighAt, 0);
    put16(record + kClusterLowAt, 0);
    put32(record + kSizeAt, 0);
    put_time(record, written);
    error = state.WriteRecords(*folder, index, 1);
    if (!error && old)
      error = state.table.FreeChain(old);
  } else if (error == ERROR_FILE_NOT_FOUND) {
    if ((error = check_new_name(leaf)))
      return error;
    error = state.AddEntry(*folder, leaf, short_record(attributes, 0, written), index);
  }
  if (error)
    return state.Done(error);
  writer.volume_ = this;
  writer.folder_ = folder->cluster;
  writer.record_ = index;
  writer.attributes_ = attributes;
  writer.written_ = written;
  return state.Done(0);
}

std::uint32_t FatVolume::OpenFile(std::string_view path, FileReader &reader) {
  std::shared_ptr<Folder> folder;
  std::uint32_t index = 0;
  if (std::uint32_t error = state_->LocateEntry(path, folder, index))
    return error;
  const unsigned char *record = folder->record(index);
  if (record[kAttributesAt] & kDirectory)
    return ERROR_ACCESS_DENIED;
  reader = FileReader{};
  reader.volume_ = this;
  reader.cluster_ = state_->first_cluster(record);
  reader.size_ = get32(record + kSizeAt);
  if (reader.size_ && !state_->geometry.is_cluster(reader.cluster_))
    return ERROR_FILE_CORRUPT;
  return 0;
}

std::uint32_t FatVolume::Delete(std::string_view path) {
  State &state = *state_;
  std::shared_ptr<Folder> folder;
  std::uint32_t index = 0;
  if (std::uint32_t error = state.LocateEntry(path, folder, index))
    return error;
  const unsigned char *record = folder->record(index);
  if (record[kAttributesAt] & kReadOnly)
    return ERROR_ACCESS_DENIED;
  const std::uint32_t cluster = state.first_cluster(record);
  if (record[kAttributesAt] & kDirectory) {
    if (cluster == state.root_key())
      return ERROR_FILE_CORRUPT;
    std::shared_ptr<Folder> content;
    if (std::uint32_t error = state.LoadFolder(cluster, content))
      return error;
    if (!content->items.empty())
      return ERROR_DIR_NOT_EMPTY;
    state.folder_bytes -= content->bytes.size();
    state.folders.erase(cluster);
  }
  std::uint32_t error = state.RemoveEntry(*folder, index);
  if (!error && cluster)
    error = state.table.FreeChain(cluster);
  return state.Done(error);
}

std::uint32_t FatVolume::Rename(std::string_view path, std::string_view new_name) {
  State &state = *state_;
  std::shared_ptr<Folder> folder;
  std::uint32_t index = 0;
  if (std::uint32_t error = state.LocateEntry(path, folder, index))
    return error;
  std::optional<std::u16string> name = utf16_of(new_name);
  if (!name)
    return ERROR_INVALID_NAME;
  if (std::uint32_t error = check_new_name(*name))
    return error;
  auto [begin, end] = folder->names.equal_range(folded(*name));
  for (auto it = begin; it != end; ++it)
    if (it->second != index)
      return ERROR_ALREADY_EXISTS;
  if (state.EntryOf(*folder, index).name == new_name)
    return 0;
  // The new entry, with a fresh short name, is written before the old one
  // goes, so that the file has a name throughout.
  std::array<unsigned char, kRecord> entry;
  std::memcpy(entry.data(), folder->record(index), kRecord);
  std::uint32_t added;
  std::uint32_t error = state.AddEntry(*folder, *name, entry, added);
  if (!error)
    error = state.RemoveEntry(*folder, index);
  return state.Done(error);
}

std::uint32_t FatVolume::SetAttributes(std::string_view path, std::uint8_t attributes) {
  std::shared_ptr<Folder> folder;
  std::uint32_t index = 0;
  if (std::uint32_t error = state_->LocateEntry(path, folder, index))
    return error;
  unsigned char &field = folder->record(index)[kAttributesAt];
  field = std::uint8_t((field & ~kSettable) | (attributes & kSettable));
  return state_->WriteRecords(*folder, index, 1);
}

std::uint32_t FatVolume::SetWriteTime(std::string_view path, DosTime written) {
  std::shared_ptr<Folder> folder;
  std::uint32_t index = 0;
  if (std::uint32_t error = state_->LocateEntry(path, folder, index))
    return error;
  put_time(folder->record(index), written);
  return state_->WriteRecords(*folder, index, 1);
}

std::uint32_t FatVolume::FreeBytes(std::uint64_t &bytes) {
  std::uint32_t clusters = 0;
  if (std::uint32_t error = state_->table.FreeCount(clusters))
    return error;
  bytes = std::uint64_t(clusters) * state_->geometry.cluster_bytes;
  return 0;
}

std::uint32_t FatVolume::Flush() {
  if (std::uint32_t error = state_->table.Commit())
    return error;
  if (std::uint32_t error = state_->table.WriteFsInfo())
    return error;
  return state_->io.Flush();
}

std::uint32_t FileReader::Follow(std::uint32_t cluster, std::uint32_t &next) {
  FatVolume::State &state = *volume_->state_;
  if (++links_followed_ > state.geometry.cluster_count)
    return ERROR_FILE_CORRUPT;
  return state.table.Next(cluster, next);
}

std::uint32_t FileReader::Read(void *data, std::size_t size, std::size_t &got) {
  got = 0;
  if (!volume_)
    return ERROR_INVALID_HANDLE;
  FatVolume::State &state = *volume_->state_;
  const Geometry &geometry = state.geometry;
  const std::uint32_t cluster_bytes = geometry.cluster_bytes;
  auto *out = static_cast<unsigned char *>(data);
  while (got < size && position_ < size_) {
    const std::size_t want = std::min<std::size_t>(size - got, size_ - position_);
    const std::uint32_t offset = position_ % cluster_bytes;
    // The contiguous clusters from cluster_ on that the bytes wanted touch.
    std::uint32_t run = 1;
    std::uint32_t after = 0;
    bool after_known = false;
    while (std::uint64_t(run) * cluster_bytes < offset + want) {
      if (std::uint32_t error = Follow(cluster_ + run - 1, after))
        return error;
      after_known = true;
      if (after != cluster_ + run)
        break;
      after_known = false;
      ++run;
    }
    const std::size_t bytes =
        std::min<std::size_t>(want, std::size_t(run) * cluster_bytes - offset);
    if (std::uint32_t error = state.io.Read(geometry.cluster_offset(cluster_) + offset,
                                            out + got, bytes))
      return error;
    got += bytes;
    position_ += std::uint32_t(bytes);
    const std::uint32_t last = cluster_ + run - 1;
    cluster_ = last;
    if (position_ < size_ && position_ % cluster_bytes == 0) {
      if (!after_known)
        if (std::uint32_t error = Follow(last, after))
          return error;
      if (after == 0)
        return ERROR_FILE_CORRUPT; // the chain ends before the file
      cluster_ = after;
    }
  }
  return 0;
}

FileWriter::~FileWriter() { Discard(); }

void FileWriter::Discard() {
  if (volume_ && first_cluster_) {
    FatVolume::State &state = *volume_->state_;
    state.Done(state.table.FreeChain(first_cluster_));
  }
  volume_ = nullptr;
  first_cluster_ = last_cluster_ = size_ = 0;
  pending_.clear();
}

std::uint32_t FileWriter::Append(const unsigned char *data, std::size_t bytes) {
  FatVolume::State &state = *volume_->state_;
  const std::size_t cluster_bytes = state.geometry.cluster_bytes;
  std::vector<std::uint32_t> clusters;
  if (std::uint32_t error = state.table.Allocate(
          std::uint32_t((bytes + cluster_bytes - 1) / cluster_bytes), last_cluster_, clusters))
    return error;
  if (!first_cluster_)
    first_cluster_ = clusters.front();
  last_cluster_ = clusters.back();
  for (std::size_t i = 0; i < clusters.size();) {
    std::size_t run = 1;
    while (i + run < clusters.size() && clusters[i + run] == clusters[i] + run)
      ++run;
    const std::size_t at = i * cluster_bytes;
    if (std::uint32_t error = state.io.Write(state.geometry.cluster_offset(clusters[i]),
                                             data + at,
                                             std::min(bytes - at, run * cluster_bytes)))
      return error;
    i += run;
  }
  return 0;
}

std::uint32_t FileWriter::Write(const void *data, std::size_t size) {
  if (!volume_)
    return ERROR_INVALID_HANDLE;
  if (size > 0xFFFFFFFFu - size_)
    return ERROR_FILE_TOO_LARGE;
  FatVolume::State &state = *volume_->state_;
  const std::size_t cluster_bytes = state.geometry.cluster_bytes;
  auto *bytes = static_cast<const unsigned char *>(data);
  if (!pending_.empty()) {
    const std::size_t take = std::min(size, cluster_bytes - pending_.size());
    pending_.insert(pending_.end(), bytes, bytes + take);
    if (pending_.size() == cluster_bytes) {
      if (std::uint32_t error = Append(pending_.data(), cluster_bytes)) {
        pending_.resize(cluster_bytes - take);
        return state.Done(error);
      }
      pending_.clear();
    }
    bytes += take;
    size -= take;
    size_ += std::uint32_t(take);
  }
  if (size >= cluster_bytes) {
    const std::size_t whole = size / cluster_bytes * cluster_bytes;
    if (std::uint32_t error = Append(bytes, whole))
      return state.Done(error);
    bytes += whole;
    size -= whole;
    size_ += std::uint32_t(whole);
  }
  pending_.insert(pending_.end(), bytes, bytes + size);
  size_ += std::uint32_t(size);
  return state.Done(0);
}

std::uint32_t FileWriter::Close() {
  if (!volume_)
    return ERROR_INVALID_HANDLE;
  FatVolume::State &state = *volume_->state_;
  if (!pending_.empty()) {
    // The tail goes out as whole sectors, zero-padded.
    const std::size_t sector = state.geometry.sector_bytes;
    pending_.resize((pending_.size() + sector - 1) / sector * sector, 0);
    if (std::uint32_t error = Append(pending_.data(), pending_.size()))
      return state.Done(error);
    pending_.clear();
  }
  std::shared_ptr<Folder> folder;
  std::uint32_t error = state.LoadFolder(folder_, folder);
  if (!error && !folder->items.count(record_))
    error = ERROR_FILE_NOT_FOUND; // deleted or renamed while being written
  if (error) {
    Discard();
    return state.Done(error);
  }
  unsigned char *record = folder->record(record_);
  put16(record + kClusterHighAt, first_cluster_ >> 16);
  put16(record + kClusterLowAt, first_cluster_);
  put32(record + kSizeAt, size_);
  record[kAttributesAt] = attributes_;
  put_time(record, written_);
  error = state.WriteRecords(*folder, record_, 1);
  volume_ = nullptr; // the chain is the entry's now
  first_cluster_ = last_cluster_ = size_ = 0;
  return state.Done(error);
}

} // namespace corvantix::fat
