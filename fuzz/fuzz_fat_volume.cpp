// Any image, however damaged: the FAT library mounts it or refuses it, then
// lists, reads, creates and deletes without ever reaching outside the range.
#include "disk/fat/tree.h"
#include "disk/fat/volume.h"
#include "platform/win32api.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

namespace fat = corvantix::fat;

class MemoryIo : public fat::BlockIo {
public:
  MemoryIo(const std::uint8_t *data, std::size_t size) : bytes_(data, data + size) {}

  std::uint32_t Read(std::uint64_t offset, void *data, std::size_t size) override {
    check(offset, size);
    std::memcpy(data, bytes_.data() + offset, size);
    return 0;
  }
  std::uint32_t Write(std::uint64_t offset, const void *data, std::size_t size) override {
    check(offset, size);
    std::memcpy(bytes_.data() + offset, data, size);
    return 0;
  }
  std::uint32_t Flush() override { return 0; }
  std::uint64_t Length() const override { return bytes_.size(); }

private:
  void check(std::uint64_t offset, std::size_t size) const {
    if (offset > bytes_.size() || size > bytes_.size() - offset)
      std::abort();
  }
  std::vector<unsigned char> bytes_;
};

// Reads the whole file, within what is left of `budget`: files may share
// clusters, so only the sum of what all of them read is bounded.
void read_all(fat::FatVolume &volume, const std::string &path, std::size_t &budget) {
  fat::FileReader reader;
  if (volume.OpenFile(path, reader))
    return;
  char buffer[65536];
  for (std::size_t got = 0; budget > 0 && !reader.Read(buffer, sizeof buffer, got) && got;)
    budget -= std::min(budget, got);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size > (4u << 20))
    return 0;
  MemoryIo io(data, size);
  std::unique_ptr<fat::FatVolume> volume;
  if (fat::FatVolume::Mount(io, volume))
    return 0;
  // The whole tree, as a backup walks it: every folder listed, every file
  // read, each entry also found by its path.
  std::string victim, where;
  std::size_t budget = 16 * size + (1 << 20);
  fat::WalkTree(
      *volume, "",
      [&](const std::string &path, const fat::DirEntry &entry) {
        victim = path;
        fat::DirEntry found;
        volume->Find(path, found);
        if (!entry.folder())
          read_all(*volume, path, budget);
        return 0u;
      },
      where);
  volume->CreateFolder("new folder");
  {
    fat::FileWriter writer;
    const std::string text(3000, 'x');
    if (!volume->CreateOrTruncate("new folder/a long file name.txt", fat::kArchive, {}, writer) &&
        !writer.Write(text.data(), text.size()))
      writer.Close();
  }
  if (!victim.empty()) {
    volume->Rename(victim, "renamed entry");
    volume->Delete("renamed entry");
  }
  std::uint64_t free = 0;
  volume->FreeBytes(free);
  volume->Flush();
  return 0;
}
