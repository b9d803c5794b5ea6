// The demo machine and the shop's format of a new stick.
#include "platform/host/machine/demo_machine.h"

#include "disk/boot_records.h"
#include "disk/fat/volume.h"
#include "platform/host/machine/image_range.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace corvantix::emulation {
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint32_t kShopPartitionStart = 2048; // 1 MiB, as sold
constexpr std::uint32_t kShopSerial = 0x5A17C0DE;
constexpr char kShopLabel[] = "NO NAME    "; // none in the root folder
constexpr std::uint32_t kFat16Clusters = 65525; // more make it FAT32

using Sector = std::array<unsigned char, 512>;

void put16(unsigned char *p, std::uint16_t v) {
  p[0] = std::uint8_t(v);
  p[1] = std::uint8_t(v >> 8);
}
void put32(unsigned char *p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = std::uint8_t(v >> (8 * i));
}

template <class Record> Sector bytes_of(const Record &record) {
  static_assert(sizeof(Record) == 512);
  Sector sector;
  std::memcpy(sector.data(), &record, sizeof record);
  return sector;
}

// The sectors of a new stick's partition: the rest of the disk, up to the
// last sector a 32-bit LBA reaches.
std::uint32_t shop_partition_sectors(std::uint64_t size) {
  return std::uint32_t(std::min<std::uint64_t>(size / 512, 1ull << 32) -
                       kShopPartitionStart);
}

// An MBR as a new stick has it: no boot code, one FAT partition at 1 MiB.
Sector shop_mbr(std::uint32_t sectors, std::uint8_t type) {
  Sector mbr{};
  put32(&mbr[440], kShopSerial);
  unsigned char *entry = &mbr[446];
  const unsigned char start_chs[3] = {0x20, 0x21, 0x00}; // LBA 2048
  std::memcpy(entry + 1, start_chs, 3);
  entry[4] = type;
  const unsigned char end_chs[3] = {0xFE, 0xFF, 0xFF}; // beyond CHS
  std::memcpy(entry + 5, end_chs, 3);
  put32(entry + 8, kShopPartitionStart);
  put32(entry + 12, sectors);
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  return mbr;
}

// Sector offsets within the partition and what goes there.
using Writes = std::vector<std::pair<std::uint64_t, Sector>>;

// FAT32 as the project's formatter lays it out, at 1 MiB and without boot
// code; nothing when the partition is too small for FAT32.
Writes fat32_volume(std::uint32_t sectors) {
  BOOT_RECORD_FAT32 boot{};
  boot.Format(std::uint64_t(sectors) * 512, SYSTEMTIME{});
  if (boot.ClusterCount() < kFat16Clusters)
    return {};
  const unsigned char jump[3] = {0xEB, 0x58, 0x90};
  std::memcpy(boot.BS_jmpBoot, jump, 3);
  std::memcpy(boot.BS_OEMName, "MSDOS5.0", 8);
  boot.BPB_HiddSec = kShopPartitionStart;
  boot.BS_VolID = kShopSerial;
  std::memcpy(boot.BS_VolLab, kShopLabel, 11);
  boot.Signature[0] = 0x55;
  boot.Signature[1] = 0xAA;
  FSINFO info;
  info.Format();
  info.FSI_Free_Count = boot.ClusterCount() - 1; // all but the root folder's
  info.FSI_Nxt_Free = 3;
  FAT_SECTOR fat;
  fat.Format();
  std::uint64_t fat_start = boot.BPB_RsvdSecCnt;
  return {{0, bytes_of(boot)},
          {1, bytes_of(info)},
          {boot.BPB_BkBootSec, bytes_of(boot)},
          {boot.BPB_BkBootSec + 1u, bytes_of(info)},
          {fat_start, bytes_of(fat)},
          {fat_start + boot.BPB_FATSz32, bytes_of(fat)}};
}

// FAT16 with the fewest sectors per cluster that keep it FAT16.
Writes fat16_volume(std::uint32_t sectors) {
  constexpr std::uint32_t kReserved = 4, kRootSectors = 32; // 512 entries
  std::uint32_t per_cluster = 1, fat_sectors = 0, clusters = 0;
  for (;; per_cluster *= 2) {
    std::uint32_t data = sectors - kReserved - kRootSectors;
    // Two bytes per cluster in each of two FATs, the first two reserved.
    fat_sectors = (2 * (data / per_cluster + 2) + 511) / 512;
    clusters = (data - 2 * fat_sectors) / per_cluster;
    if (clusters < kFat16Clusters || per_cluster == 128)
      break;
  }
  Sector boot{};
  const unsigned char jump[3] = {0xEB, 0x3C, 0x90};
  std::memcpy(&boot[0], jump, 3);
  std::memcpy(&boot[3], "MSDOS5.0", 8);
  put16(&boot[11], 512);
  boot[13] = std::uint8_t(per_cluster);
  put16(&boot[14], kReserved);
  boot[16] = 2;                     // FATs
  put16(&boot[17], kRootSectors * 16);
  if (sectors < 65536)
    put16(&boot[19], std::uint16_t(sectors));
  else
    put32(&boot[32], sectors);
  boot[21] = 0xF8;
  put16(&boot[22], std::uint16_t(fat_sectors));
  put16(&boot[24], 63);
  put16(&boot[26], 255);
  put32(&boot[28], kShopPartitionStart);
  boot[36] = 0x80; // drive number
  boot[38] = 0x29; // the fields below are there
  put32(&boot[39], kShopSerial);
  std::memcpy(&boot[43], kShopLabel, 11);
  std::memcpy(&boot[54], "FAT16   ", 8);
  boot[510] = 0x55;
  boot[511] = 0xAA;
  Sector fat{};
  put16(&fat[0], 0xFFF8); // media byte F8
  put16(&fat[2], 0xFFFF); // clean, no errors
  return {{0, boot}, {kReserved, fat}, {kReserved + fat_sectors, fat}};
}

// The files a stick comes with from the shop.
std::uint32_t put_shop_files(fat::BlockIo &partition) {
  struct ShopFile {
    const char *folder, *name, *text;
  };
  static constexpr ShopFile kFiles[] = {
      {"", "README.TXT", "Thank you for buying this USB stick.\r\n"},
      {"Photos", "Holiday 2011.txt", "Beach, sun and a sandcastle.\r\n"},
  };
  std::unique_ptr<fat::FatVolume> volume;
  if (std::uint32_t code = fat::FatVolume::Mount(partition, volume))
    return code;
  for (const ShopFile &file : kFiles) {
    std::string path = *file.folder ? std::string(file.folder) + "/" + file.name
                                    : file.name;
    if (*file.folder)
      if (std::uint32_t code = volume->CreateFolder(file.folder))
        return code;
    fat::FileWriter writer;
    if (std::uint32_t code =
            volume->CreateOrTruncate(path, fat::kArchive, {}, writer))
      return code;
    std::uint32_t code = writer.Write(file.text, std::strlen(file.text));
    if (std::uint32_t closed = writer.Close(); !code)
      code = closed;
    if (code)
      return code;
  }
  return volume->Flush();
}

} // namespace

std::vector<DiskConfig> demo_machine(const fs::path &folder) {
  DiskConfig system;
  system.image = folder / "corvantix-system.img";
  system.new_size = 64 * kMiB;
  system.new_image_formatted = false;
  system.model = "Corvantix System Disk";
  system.interface_type = "IDE";
  DiskConfig stick;
  stick.image = folder / "corvantix-stick.img";
  stick.new_size = 256 * kMiB;
  stick.model = "Corvantix Virtual Stick";
  stick.letter = 'E';
  std::vector<DiskConfig> disks = {system, stick};
  for (const DiskConfig &disk : disks) {
    std::error_code error;
    if (fs::is_regular_file(disk.image, error) && !image_is_sound(disk))
      fs::remove(disk.image, error);
  }
  return disks;
}

bool image_is_sound(const DiskConfig &config) {
  std::error_code error;
  if (fs::file_size(config.image, error) != config.new_size || error)
    return false;
  if (!config.new_image_formatted || config.new_size < 8 * kMiB)
    return true;
  Sector first{};
  std::ifstream in(config.image, std::ios::binary);
  in.read(reinterpret_cast<char *>(first.data()), first.size());
  return in && std::any_of(first.begin(), first.end(),
                           [](unsigned char byte) { return byte != 0; });
}

int format_like_shop(const fs::path &image, std::uint64_t size) {
  if (size < 8 * kMiB)
    return 0;
  std::uint32_t sectors = shop_partition_sectors(size);
  Writes volume = fat32_volume(sectors);
  std::uint8_t type = 0x0C; // FAT32 (LBA)
  if (volume.empty()) {
    volume = fat16_volume(sectors);
    type = 0x0E; // FAT16 (LBA)
  }
  ImageRange disk(image.string(), 0, size);
  ImageRange partition(image.string(), std::uint64_t(kShopPartitionStart) * 512,
                       std::uint64_t(sectors) * 512);
  std::uint32_t code = disk.Error() ? disk.Error() : partition.Error();
  for (const auto &[at, sector] : volume)
    if (!code)
      code = partition.Write(at * 512, sector.data(), sector.size());
  if (!code)
    code = disk.Write(0, shop_mbr(sectors, type).data(), 512);
  if (!code)
    code = put_shop_files(partition);
  if (!code)
    code = disk.Flush();
  return code ? EIO : 0;
}

} // namespace corvantix::emulation
