#include "platform/host/machine/fat_probe.h"
#include "platform/host/machine/image_range.h"

#include <fstream>

namespace corvantix::emulation {
namespace {

std::uint32_t le32(const unsigned char *p) {
  return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24;
}
std::uint16_t le16(const unsigned char *p) { return p[0] | p[1] << 8; }

} // namespace

bool is_mountable_fat(const unsigned char (&bs)[512],
                      std::uint64_t partition_bytes) {
  std::uint32_t bytes = le16(bs + 11), per_cluster = bs[13],
                reserved = le16(bs + 14), fats = bs[16],
                root_entries = le16(bs + 17);
  std::uint64_t total = le16(bs + 19) ? le16(bs + 19) : le32(bs + 32);
  std::uint64_t fat_size = le16(bs + 22) ? le16(bs + 22) : le32(bs + 36);
  bool fat32_bpb = le16(bs + 22) == 0;
  if ((bs[0] != 0xEB && bs[0] != 0xE9) || bs[510] != 0x55 || bs[511] != 0xAA)
    return false;
  if ((bytes != 512 && bytes != 1024 && bytes != 2048 && bytes != 4096) ||
      per_cluster == 0 || (per_cluster & (per_cluster - 1)) || reserved == 0 ||
      fats == 0 || total == 0 || fat_size == 0)
    return false;
  if (total * bytes > partition_bytes)
    return false;
  std::uint64_t root_sectors = (root_entries * 32 + bytes - 1) / bytes;
  std::uint64_t meta = reserved + fats * fat_size + root_sectors;
  if (meta >= total)
    return false;
  std::uint64_t clusters = (total - meta) / per_cluster;
  return !fat32_bpb || clusters >= 65525;
}

bool holds_mountable_fat(const std::filesystem::path &file,
                         std::uint64_t offset, std::uint64_t partition_bytes,
                         std::uint64_t wrap) {
  unsigned char boot_sector[512];
  std::ifstream in(file, std::ios::binary);
  bool read = !wrapped_pieces(wrap, offset, sizeof boot_sector,
                              [&](std::uint64_t at, std::uint64_t done,
                                  std::uint64_t count) {
    in.seekg(std::streamoff(at));
    return !in.read(reinterpret_cast<char *>(boot_sector + done),
                    std::streamsize(count));
  });
  if (!read)
    return false;
  return is_mountable_fat(boot_sector, partition_bytes);
}

} // namespace corvantix::emulation
