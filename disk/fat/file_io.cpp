#include "disk/fat/state.h"

#include "platform/win32api.h"

#include <algorithm>

namespace corvantix::fat {

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
    state.table.FreeChain(first_cluster_); // no entry names it
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
        return error;
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
      return error;
    bytes += whole;
    size -= whole;
    size_ += std::uint32_t(whole);
  }
  pending_.insert(pending_.end(), bytes, bytes + size);
  size_ += std::uint32_t(size);
  return 0;
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
      return error;
    pending_.clear();
  }
  std::shared_ptr<Folder> folder;
  std::uint32_t error = state.LoadFolder(folder_, folder);
  if (!error && !folder->items.count(record_))
    error = ERROR_FILE_NOT_FOUND; // deleted or renamed while being written
  if (error) {
    Discard();
    return error;
  }
  unsigned char *record = folder->record(record_);
  put16(record + kClusterHighAt, first_cluster_ >> 16);
  put16(record + kClusterLowAt, first_cluster_);
  put32(record + kSizeAt, size_);
  record[kAttributesAt] = attributes_;
  put_time(record, written_);
  state.Touch(*folder, record_, 1); // written after the chain it names
  volume_ = nullptr; // the chain is the entry's now
  first_cluster_ = last_cluster_ = size_ = 0;
  return 0;
}

} // namespace corvantix::fat
