// The drive layout of an emulated disk, read from its image as Windows'
// partition manager reads a disk: a master boot record whose boot flags are
// 0x00 or 0x80, followed into the chain of extended boot records; a GPT
// (header checked by its CRC32, the backup header at the last sector when
// the first is damaged) behind a protective entry of type 0xEE; otherwise
// RAW, which is what a stick formatted as a "superfloppy" (a file system
// from sector 0 on) or a blank one is.
#include "platform/host/win32/kernel32_layout.h"

#include "platform/host/machine/image_range.h"
#include "platform/host/machine/linux_disks.h"
#include "platform/host/machine/machine.h"
#include "platform/host/win32/kernel32.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <set>
#include <vector>

namespace corvantix::emulation {
namespace {

constexpr std::size_t kMaxLogicalDrives = 128; // a chain past that is a loop
constexpr std::uint32_t kMaxGptEntries = 1024;
constexpr BYTE kProtectiveMbr = 0xEE;

std::uint32_t le32(const unsigned char *p) {
  return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24;
}
std::uint64_t le64(const unsigned char *p) {
  return le32(p) | std::uint64_t(le32(p + 4)) << 32;
}

std::uint32_t crc32(const unsigned char *data, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit)
      crc = crc >> 1 ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

// The disk's bytes, through a counterfeit stick's wrap as every read is.
class DiskReader {
public:
  explicit DiskReader(const Disk &disk)
      : disk_(disk), fd_(::open(disk.config.image.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~DiskReader() {
    if (fd_ >= 0)
      close(fd_);
  }
  DiskReader(const DiskReader &) = delete;
  DiskReader &operator=(const DiskReader &) = delete;

  std::uint32_t sector() const { return disk_.config.sector_size; }
  std::uint64_t sectors() const { return disk_.size() / sector(); }

  /// `count` sectors from `lba`; false past the end or when the read fails.
  bool read(std::uint64_t lba, std::uint64_t count,
            std::vector<unsigned char> &out) const {
    if (fd_ < 0 || lba >= sectors() || count > sectors() - lba)
      return false;
    out.assign(count * sector(), 0);
    return !wrapped_pieces(disk_.config.real_size, lba * sector(), out.size(),
                           [&](std::uint64_t from, std::uint64_t done,
                               std::uint64_t n) {
                             return pread(fd_, out.data() + done, n,
                                          off_t(from)) != ssize_t(n);
                           });
  }

private:
  const Disk &disk_;
  int fd_;
};

} // namespace

// FAT's parameter block, or the names NTFS and exFAT put where FAT keeps
// its OEM name, behind a jump instruction.
bool file_system_at_sector_zero(const unsigned char *s) {
  if (!(s[0] == 0xEB && s[2] == 0x90) && s[0] != 0xE9)
    return false;
  if (std::memcmp(s + 3, "NTFS    ", 8) == 0 ||
      std::memcmp(s + 3, "EXFAT   ", 8) == 0)
    return true;
  unsigned bytes = s[11] | s[12] << 8, per_cluster = s[13];
  unsigned reserved = s[14] | s[15] << 8, fats = s[16];
  auto power_of_two = [](unsigned n) { return n && !(n & (n - 1)); };
  return bytes >= 512 && bytes <= 4096 && power_of_two(bytes) &&
         power_of_two(per_cluster) && reserved > 0 && (fats == 1 || fats == 2);
}

namespace {

bool recognized(BYTE type) {
  switch (type & ~0xC0) { // the NTFT bits of fault-tolerant sets
  case 0x01: case 0x04: case 0x06: case 0x07: case 0x0B: case 0x0C: case 0x0E:
    return true;
  default:
    return false;
  }
}

struct Layout {
  DWORD style = PARTITION_STYLE_RAW;
  DRIVE_LAYOUT_INFORMATION_MBR mbr{};
  DRIVE_LAYOUT_INFORMATION_GPT gpt{};
  std::vector<PARTITION_INFORMATION_EX> entries;
};

// The four entries of one table sector at `table_lba`; `base_lba` is what
// the entries' starts count from.
void add_table(Layout &layout, const unsigned char *sector,
               std::uint64_t table_lba, std::uint64_t base_lba,
               std::uint32_t bytes) {
  for (int i = 0; i < 4; ++i) {
    const unsigned char *e = sector + 446 + 16 * i;
    PARTITION_INFORMATION_EX entry{};
    entry.PartitionStyle = PARTITION_STYLE_MBR;
    entry.Mbr.PartitionType = e[4];
    entry.Mbr.BootIndicator = e[0] == 0x80;
    entry.Mbr.RecognizedPartition = recognized(e[4]);
    entry.Mbr.HiddenSectors = le32(e + 8);
    if (e[4] != PARTITION_ENTRY_UNUSED) {
      // A logical drive counts from its own table, a link from the
      // extended partition's start.
      std::uint64_t from = IsContainerPartition(e[4]) ? base_lba : table_lba;
      entry.StartingOffset.QuadPart = LONGLONG((from + le32(e + 8)) * bytes);
      entry.PartitionLength.QuadPart = LONGLONG(std::uint64_t(le32(e + 12)) * bytes);
    }
    layout.entries.push_back(entry);
  }
}

bool read_mbr(const DiskReader &disk, const unsigned char *mbr, Layout &layout) {
  if (mbr[510] != 0x55 || mbr[511] != 0xAA || file_system_at_sector_zero(mbr))
    return false;
  for (int i = 0; i < 4; ++i)
    if (mbr[446 + 16 * i] != 0x00 && mbr[446 + 16 * i] != 0x80)
      return false;
  layout.style = PARTITION_STYLE_MBR;
  layout.mbr.Signature = le32(mbr + 440);
  add_table(layout, mbr, 0, 0, disk.sector());
  for (int i = 0; i < 4; ++i) {
    const unsigned char *e = mbr + 446 + 16 * i;
    if (!IsContainerPartition(e[4]))
      continue;
    std::uint64_t base = le32(e + 8), next = base;
    std::set<std::uint64_t> seen;
    std::vector<unsigned char> ebr;
    while (seen.size() < kMaxLogicalDrives && seen.insert(next).second &&
           disk.read(next, 1, ebr) && ebr[510] == 0x55 && ebr[511] == 0xAA) {
      add_table(layout, ebr.data(), next, base, disk.sector());
      const unsigned char *link = ebr.data() + 446 + 16;
      if (!IsContainerPartition(link[4]) || le32(link + 8) == 0)
        break;
      next = base + le32(link + 8);
    }
    break; // one extended partition per disk, as Windows follows it
  }
  // Used slots that hold no container get the numbers, in table order.
  DWORD number = 0;
  for (PARTITION_INFORMATION_EX &entry : layout.entries)
    if (entry.Mbr.PartitionType != PARTITION_ENTRY_UNUSED &&
        !IsContainerPartition(entry.Mbr.PartitionType))
      entry.PartitionNumber = ++number;
  return true;
}

// The GPT whose header is at `lba`, when its header and entry array check.
bool read_gpt_at(const DiskReader &disk, std::uint64_t lba, Layout &layout) {
  std::vector<unsigned char> header;
  if (!disk.read(lba, 1, header) || std::memcmp(header.data(), "EFI PART", 8))
    return false;
  std::uint32_t size = le32(&header[12]);
  if (size < 92 || size > disk.sector() || le64(&header[24]) != lba)
    return false;
  std::uint32_t stored = le32(&header[16]);
  std::memset(&header[16], 0, 4);
  if (crc32(header.data(), size) != stored)
    return false;
  std::uint64_t entries_lba = le64(&header[72]);
  std::uint32_t count = le32(&header[80]), entry_size = le32(&header[84]);
  if (count > kMaxGptEntries || entry_size < 128 || entry_size % 8)
    return false;
  std::uint64_t bytes = std::uint64_t(count) * entry_size;
  std::vector<unsigned char> array;
  if (!disk.read(entries_lba, (bytes + disk.sector() - 1) / disk.sector(), array) ||
      crc32(array.data(), bytes) != le32(&header[88]))
    return false;

  layout.style = PARTITION_STYLE_GPT;
  std::memcpy(&layout.gpt.DiskId, &header[56], sizeof(GUID));
  std::uint64_t first = le64(&header[40]), last = le64(&header[48]);
  layout.gpt.StartingUsableOffset.QuadPart = LONGLONG(first * disk.sector());
  layout.gpt.UsableLength.QuadPart =
      LONGLONG(last >= first ? (last - first + 1) * disk.sector() : 0);
  layout.gpt.MaxPartitionCount = count;
  static const GUID unused{};
  for (std::uint32_t i = 0; i < count; ++i) {
    const unsigned char *e = &array[std::size_t(i) * entry_size];
    PARTITION_INFORMATION_EX entry{};
    entry.PartitionStyle = PARTITION_STYLE_GPT;
    std::memcpy(&entry.Gpt.PartitionType, e, sizeof(GUID));
    if (std::memcmp(&entry.Gpt.PartitionType, &unused, sizeof(GUID)) == 0)
      continue; // only used entries are reported
    std::memcpy(&entry.Gpt.PartitionId, e + 16, sizeof(GUID));
    std::uint64_t start = le64(e + 32), end = le64(e + 40);
    entry.StartingOffset.QuadPart = LONGLONG(start * disk.sector());
    entry.PartitionLength.QuadPart =
        LONGLONG(end >= start ? (end - start + 1) * disk.sector() : 0);
    entry.Gpt.Attributes = le64(e + 48);
    std::memcpy(entry.Gpt.Name, e + 56, sizeof entry.Gpt.Name);
    entry.PartitionNumber = DWORD(layout.entries.size() + 1);
    layout.entries.push_back(entry);
  }
  return true;
}

bool protective(const unsigned char *mbr) {
  if (mbr[510] != 0x55 || mbr[511] != 0xAA)
    return false;
  for (int i = 0; i < 4; ++i)
    if (mbr[446 + 16 * i + 4] == kProtectiveMbr)
      return true;
  return false;
}

} // namespace

BOOL drive_layout(const Disk &disk, LPVOID out, DWORD out_size,
                  LPDWORD returned) {
  DiskReader reader(disk);
  std::vector<unsigned char> mbr;
  if (!reader.read(0, 1, mbr)) {
    SetLastError(ERROR_READ_FAULT);
    return FALSE;
  }
  Layout layout;
  bool gpt = protective(mbr.data()) &&
             (read_gpt_at(reader, 1, layout) ||
              read_gpt_at(reader, reader.sectors() - 1, layout));
  if (!gpt)
    read_mbr(reader, mbr.data(), layout);

  const DWORD header = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
  const DWORD needed =
      header + DWORD(layout.entries.size() * sizeof(PARTITION_INFORMATION_EX));
  if (!out || out_size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto *result = static_cast<DRIVE_LAYOUT_INFORMATION_EX *>(out);
  std::memset(result, 0, header);
  result->PartitionStyle = layout.style;
  result->PartitionCount = DWORD(layout.entries.size());
  if (layout.style == PARTITION_STYLE_GPT)
    result->Gpt = layout.gpt;
  else if (layout.style == PARTITION_STYLE_MBR)
    result->Mbr = layout.mbr;
  if (!layout.entries.empty())
    std::memcpy(result->PartitionEntry, layout.entries.data(),
                layout.entries.size() * sizeof(PARTITION_INFORMATION_EX));
  if (returned)
    *returned = needed;
  return TRUE;
}

BOOL geometry(const Disk &disk, bool extended, LPVOID out, DWORD out_size,
              LPDWORD returned) {
  DWORD needed = extended ? sizeof(DISK_GEOMETRY) + sizeof(LARGE_INTEGER)
                          : sizeof(DISK_GEOMETRY);
  if (!out || out_size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  DISK_GEOMETRY_EX result = {};
  std::uint64_t size = disk.size();
  DWORD bytes = disk.config.sector_size;
  if (disk.config.block_device) {
    // The device's own logical sector, whatever the description says.
    int fd = ::open(disk.config.image.c_str(), O_RDONLY | O_CLOEXEC);
    std::uint32_t code = fd < 0 ? win32_error_of(errno)
                                : logical_sector_size(fd, bytes);
    if (fd >= 0)
      close(fd);
    if (code) {
      SetLastError(code);
      return FALSE;
    }
  }
  result.Geometry.MediaType =
      disk.config.interface_type == "USB" ? RemovableMedia : FixedMedia;
  result.Geometry.TracksPerCylinder = 255;
  result.Geometry.SectorsPerTrack = 63;
  result.Geometry.BytesPerSector = bytes;
  result.Geometry.Cylinders.QuadPart = LONGLONG(size / (255 * 63 * bytes));
  result.DiskSize.QuadPart = LONGLONG(size);
  DWORD given = std::min<DWORD>(out_size, extended ? sizeof result : needed);
  std::memcpy(out, &result, given);
  *returned = given;
  return TRUE;
}


} // namespace corvantix::emulation
