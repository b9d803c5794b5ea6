#include "disk/fat/volume.h"

#include "disk/fat/state.h"
#include "platform/win32api.h"

#include <cstring>

namespace corvantix::fat {
namespace {

constexpr std::uint8_t kSettable = kReadOnly | kHidden | kSystem | kArchive;

std::uint32_t check_new_name(std::u16string_view name) {
  if (name.size() > kMaxLongName)
    return ERROR_FILENAME_EXCED_RANGE;
  return is_valid_long_name(name) ? 0 : ERROR_INVALID_NAME;
}

} // namespace

FatVolume::FatVolume(std::unique_ptr<State> state) : state_(std::move(state)) {}

// What waits is written; only Flush() says whether it reached the medium.
FatVolume::~FatVolume() {
  if (!state_->Settle())
    state_->table.WriteFsInfo();
}

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
    return error;
  std::vector<unsigned char> content(state.geometry.cluster_bytes, 0);
  auto dot = short_record(kDirectory, cluster[0], written);
  std::memcpy(dot.data(), ".          ", 11);
  const std::uint32_t parent_cluster = parent->cluster == state.root_key() ? 0 : parent->cluster;
  auto dot_dot = short_record(kDirectory, parent_cluster, written);
  std::memcpy(dot_dot.data(), "..         ", 11);
  std::memcpy(&content[0], dot.data(), kRecord);
  std::memcpy(&content[kRecord], dot_dot.data(), kRecord);
  // The records go out now; the FAT and the entry naming them follow.
  error = state.io.Write(state.geometry.cluster_offset(cluster[0]), content.data(), content.size());
  if (!error)
    error = state.AddEntry(*parent, leaf, short_record(kDirectory, cluster[0], written), index);
  if (error)
    state.table.FreeChain(cluster[0]);
  return error;
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
    state.Touch(*folder, index, 1);
    error = state.Release(old);
  } else if (error == ERROR_FILE_NOT_FOUND) {
    if ((error = check_new_name(leaf)))
      return error;
    error = state.AddEntry(*folder, leaf, short_record(attributes, 0, written), index);
  }
  if (error)
    return error;
  writer.volume_ = this;
  writer.folder_ = folder->cluster;
  writer.record_ = index;
  writer.attributes_ = attributes;
  writer.written_ = written;
  return 0;
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
  state.RemoveEntry(*folder, index);
  return state.Release(cluster);
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
  // Two entries naming one chain would be cross-linked: the old one is
  // settled gone before the new one, with a fresh short name, is written.
  // The room for it is taken first, so that a full folder loses nothing.
  std::array<unsigned char, kRecord> entry;
  std::memcpy(entry.data(), folder->record(index), kRecord);
  NewEntry made;
  std::uint32_t at = 0, added = 0;
  if (std::uint32_t error = state.PrepareEntry(*folder, *name, entry, made))
    return error;
  if (std::uint32_t error = state.Reserve(*folder, made.count(), at))
    return error;
  state.RemoveEntry(*folder, index);
  if (std::uint32_t error = state.Settle())
    return error;
  return state.PlaceEntry(*folder, made, at, added);
}

std::uint32_t FatVolume::SetAttributes(std::string_view path, std::uint8_t attributes) {
  std::shared_ptr<Folder> folder;
  std::uint32_t index = 0;
  if (std::uint32_t error = state_->LocateEntry(path, folder, index))
    return error;
  unsigned char &field = folder->record(index)[kAttributesAt];
  field = std::uint8_t((field & ~kSettable) | (attributes & kSettable));
  state_->Touch(*folder, index, 1);
  return 0;
}

std::uint32_t FatVolume::SetWriteTime(std::string_view path, DosTime written) {
  std::shared_ptr<Folder> folder;
  std::uint32_t index = 0;
  if (std::uint32_t error = state_->LocateEntry(path, folder, index))
    return error;
  put_time(folder->record(index), written);
  state_->Touch(*folder, index, 1);
  return 0;
}

std::uint32_t FatVolume::SetCreationTime(std::string_view path,
                                         DosTime created,
                                         std::uint8_t hundredths) {
  std::shared_ptr<Folder> folder;
  std::uint32_t index = 0;
  if (std::uint32_t error = state_->LocateEntry(path, folder, index))
    return error;
  unsigned char *record = folder->record(index);
  record[kCreateHundredthsAt] = hundredths < 200 ? hundredths : 0;
  put16(record + kCreateTimeAt, created.time);
  put16(record + kCreateDateAt, created.date);
  state_->Touch(*folder, index, 1);
  return 0;
}

std::uint32_t FatVolume::FreeBytes(std::uint64_t &bytes) {
  std::uint32_t clusters = 0;
  if (std::uint32_t error = state_->table.FreeCount(clusters))
    return error;
  bytes = std::uint64_t(clusters) * state_->geometry.cluster_bytes;
  return 0;
}

std::uint32_t FatVolume::Flush() {
  if (std::uint32_t error = state_->Settle())
    return error;
  if (std::uint32_t error = state_->table.WriteFsInfo())
    return error;
  return state_->io.Flush();
}

} // namespace corvantix::fat
