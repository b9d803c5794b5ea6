// The partition table of a stick as the emulated kernel reports it and the
// raw-device layer reads it, on images that sfdisk and mkfs.fat build; and
// whole runs on sticks that a run refuses before anything is copied or
// written: partitions the backup would not keep, no partition table, GPT,
// and sticks too small for FAT32.
#include "disk/formatter.h"
#include "disk/layout.h"

#include "emulated_disks.h"
#include "whole_run.h"

#include <cstring>
#include <functional>

namespace corvantix {
namespace {

namespace fs = std::filesystem;
using test::kMiB;
using test::slurp;

constexpr const char *kDisk = "\\\\.\\PhysicalDrive1";
constexpr std::uint64_t kSector = 512;
constexpr const char *kBasicData = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
constexpr const char *kLinuxData = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";

// The outside builders, each on the image file.
void sfdisk(const fs::path &image, const std::string &script) {
  fs::path input = image.string() + ".sfdisk";
  std::ofstream(input) << script;
  auto made = emulation::run_tool(
      {"sh", "-c", "sfdisk -q --no-reread --no-tell-kernel '" + image.string() +
                       "' < '" + input.string() + "'"});
  ASSERT_TRUE(made.ok()) << made.err;
  fs::remove(input);
}

void mkfs(const fs::path &image, const std::string &fat, std::uint64_t start,
          std::uint64_t sectors) {
  // One sector per cluster gives a small FAT32 its 65,525 clusters.
  std::vector<std::string> args = {"mkfs.fat", "-F", fat, "--offset",
                                   std::to_string(start), "--mbr=n"};
  if (fat == "32")
    args.insert(args.end(), {"-s", "1"});
  args.insert(args.end(), {image.string(), std::to_string(sectors / 2)});
  auto made = emulation::run_tool(args);
  ASSERT_TRUE(made.ok()) << made.err;
}

void put(const fs::path &image, std::uint64_t offset, const std::string &data) {
  std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(std::streamoff(offset));
  out.write(data.data(), std::streamsize(data.size()));
}

void zero_sector(const fs::path &image, std::uint64_t lba) {
  put(image, lba * kSector, std::string(kSector, '\0'));
}

std::string guid_text(const GUID &g) {
  char text[40];
  std::snprintf(text, sizeof text,
                "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                unsigned(g.Data1), unsigned(g.Data2), unsigned(g.Data3),
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

// One partition as a test expects it: number, sectors, and the MBR type
// byte or the GPT type.
struct Expected {
  DWORD number;
  std::uint64_t start, sectors;
  int mbr_type;
  std::string gpt_type;
  bool operator==(const Expected &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Expected &e) {
  return out << "#" << e.number << " " << e.start << "+" << e.sectors << " 0x"
             << std::hex << e.mbr_type << std::dec << " " << e.gpt_type;
}

// A hand-made MBR entry: type, first sector (relative), sector count.
void put_entry(const fs::path &image, std::uint64_t table_lba, int slot,
               std::uint8_t type, std::uint32_t first, std::uint32_t count) {
  unsigned char entry[16] = {};
  entry[4] = type;
  std::memcpy(entry + 8, &first, 4);
  std::memcpy(entry + 12, &count, 4);
  put(image, table_lba * kSector + 446 + 16 * slot,
      std::string(reinterpret_cast<char *>(entry), 16));
  put(image, table_lba * kSector + 510, "\x55\xAA");
}

class DiskLayout : public test::EmulatedDisks {};

TEST_F(DiskLayout, TablesReadAsWindowsReportsThem) {
  constexpr std::uint64_t kSize = 64 * kMiB, kLast = kSize / kSector - 1;
  struct Row {
    const char *what;
    std::function<void(const fs::path &)> build;
    DWORD style;
    std::vector<Expected> partitions;
  };
  auto two_gpt = [](const fs::path &image) {
    sfdisk(image, std::string("label: gpt\nstart=2048, size=32768, type=") +
                      kBasicData + "\nstart=34816, size=16384, type=" +
                      kLinuxData + "\n");
  };
  const std::vector<Row> rows = {
      {"MBR, one partition",
       [](const fs::path &image) { sfdisk(image, "start=2048, type=c\n"); },
       PARTITION_STYLE_MBR,
       {{1, 2048, kSize / kSector - 2048, 0x0C, ""}}},
      {"MBR, two partitions",
       [](const fs::path &image) {
         sfdisk(image, "start=2048, size=65536, type=c\nstart=67584, type=e\n");
       },
       PARTITION_STYLE_MBR,
       {{1, 2048, 65536, 0x0C, ""}, {2, 67584, kSize / kSector - 67584, 0x0E, ""}}},
      {"MBR, second slot only",
       [](const fs::path &image) {
         sfdisk(image, "2: start=4096, size=8192, type=6\n");
       },
       PARTITION_STYLE_MBR,
       {{1, 4096, 8192, 0x06, ""}}},
      {"extended partition with two logical drives",
       [](const fs::path &image) {
         sfdisk(image, "start=2048, size=32768, type=c\n"
                       "start=34816, size=61440, type=5\n"
                       "start=36864, size=16384, type=e\n"
                       "start=55296, size=8192, type=83\n"
                       "start=96256, type=7\n");
       },
       PARTITION_STYLE_MBR,
       {{1, 2048, 32768, 0x0C, ""},
        {2, 96256, kSize / kSector - 96256, 0x07, ""},
        {3, 36864, 16384, 0x0E, ""},
        {4, 55296, 8192, 0x83, ""}}},
      {"extended boot record that links to itself",
       [](const fs::path &image) {
         put_entry(image, 0, 0, 0x0C, 2048, 8192);
         put_entry(image, 0, 1, 0x0F, 16384, 16384);
         put_entry(image, 16384, 0, 0x0E, 2048, 2048);
         put_entry(image, 16384, 1, 0x05, 8192, 8192);
         put_entry(image, 24576, 0, 0x0B, 1024, 1024);
         put_entry(image, 24576, 1, 0x05, 8192, 8192);
       },
       PARTITION_STYLE_MBR,
       {{1, 2048, 8192, 0x0C, ""},
        {2, 18432, 2048, 0x0E, ""},
        {3, 25600, 1024, 0x0B, ""}}},
      {"GPT, two partitions", two_gpt, PARTITION_STYLE_GPT,
       {{1, 2048, 32768, 0, kBasicData}, {2, 34816, 16384, 0, kLinuxData}}},
      {"GPT whose first header is damaged",
       [&](const fs::path &image) {
         two_gpt(image);
         put(image, kSector + 20, "damage");
       },
       PARTITION_STYLE_GPT,
       {{1, 2048, 32768, 0, kBasicData}, {2, 34816, 16384, 0, kLinuxData}}},
      {"protective MBR without a GPT behind it",
       [&](const fs::path &image) {
         two_gpt(image);
         zero_sector(image, 1);
         zero_sector(image, kLast);
       },
       PARTITION_STYLE_MBR,
       {{1, 1, kLast, 0xEE, ""}}},
      {"FAT from sector 0 on",
       [](const fs::path &image) { mkfs(image, "16", 0, kSize / kSector); },
       PARTITION_STYLE_RAW,
       {}},
      {"zeros", [](const fs::path &) {}, PARTITION_STYLE_RAW, {}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    emulation::Machine::install(nullptr);
    fs::path image = dir() / "layout.img";
    fs::remove(image);
    std::ofstream(image).close();
    fs::resize_file(image, kSize);
    row.build(image);
    if (HasFatalFailure())
      return;
    std::string before = read(image, 0, kSize);
    emulation::Machine &machine = machine_with(stick(image, kSize, true));

    DISK_LAYOUT layout;
    ASSERT_EQ(ReadDiskLayout(kDisk, layout), 0u);
    EXPECT_EQ(layout.Style, row.style);
    EXPECT_EQ(layout.DiskSize, kSize);
    std::vector<Expected> found;
    for (const DISK_PARTITION &p : layout.Partitions)
      found.push_back({p.Number, p.Offset / kSector, p.Length / kSector,
                       p.MbrType,
                       row.style == PARTITION_STYLE_GPT ? guid_text(p.GptType)
                                                        : ""});
    EXPECT_EQ(found, row.partitions);
    EXPECT_TRUE(machine.writes().empty());
    EXPECT_TRUE(machine.handles().empty()) << "the disk's handle is closed";
    EXPECT_EQ(read(image, 0, kSize), before);
  }
}

// The query's answer has Windows' shape: four slots per table sector, a
// number only for a used slot that holds no container, and a buffer too
// small for every entry refused as a whole.
TEST_F(DiskLayout, TheQueryFillsSlotsAndRefusesShortBuffers) {
  fs::path image = dir() / "extended.img";
  std::ofstream(image).close();
  fs::resize_file(image, 64 * kMiB);
  sfdisk(image, "start=2048, size=32768, type=c\nstart=34816, type=f\n"
                "start=36864, size=8192, type=e\nstart=47104, type=b\n");
  machine_with(stick(image, 64 * kMiB, true));
  HANDLE disk = CreateFileA(kDisk, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(disk, INVALID_HANDLE_VALUE);
  std::vector<PARTITION_INFORMATION_EX> buffer(16);
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                              buffer.data(), DWORD(buffer.size() * sizeof buffer[0]),
                              &returned, nullptr));
  const auto *layout =
      reinterpret_cast<const DRIVE_LAYOUT_INFORMATION_EX *>(buffer.data());
  ASSERT_EQ(layout->PartitionCount, 12u) << "the MBR and two EBRs";
  EXPECT_EQ(returned, offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) +
                          12 * sizeof(PARTITION_INFORMATION_EX));
  std::vector<std::pair<int, DWORD>> slots;
  for (DWORD i = 0; i < layout->PartitionCount; ++i)
    slots.push_back({layout->PartitionEntry[i].Mbr.PartitionType,
                     layout->PartitionEntry[i].PartitionNumber});
  EXPECT_EQ(slots, (std::vector<std::pair<int, DWORD>>{
                       {0x0C, 1}, {0x0F, 0}, {0, 0}, {0, 0},
                       {0x0E, 2}, {0x05, 0}, {0, 0}, {0, 0},
                       {0x0B, 3}, {0, 0}, {0, 0}, {0, 0}}));
  EXPECT_EQ(layout->PartitionEntry[8].StartingOffset.QuadPart, 47104 * 512)
      << "a logical drive counts from its own table";

  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                               buffer.data(), returned - 1, &returned, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  CloseHandle(disk);
}

// The smallest disk that the check lets through is one the formatter makes
// FAT32 of, and one sector less is refused by both; mkfs.fat's own FAT32
// minimum, 65,525 clusters, is what fsck.fat then finds.
TEST_F(DiskLayout, TheSmallestSizeIsWhereTheFormatterStopsRefusing) {
  const std::uint64_t smallest = MinimumFat32DiskSize();
  for (std::uint64_t size : {smallest - kSector, smallest, smallest + kSector,
                             smallest + 130 * kSector}) {
    SCOPED_TRACE(size);
    emulation::Machine::install(nullptr);
    fs::path image = dir() / ("size-" + std::to_string(size) + ".img");
    machine_with(stick(image, size, true));
    DISK_LAYOUT layout;
    ASSERT_EQ(ReadDiskLayout(kDisk, layout), 0u);
    ASSERT_EQ(layout.DiskSize, size);
    DWORD code = CreatePartitionAndFormatFAT32(kDisk, 'E');
    if (size < smallest) {
      EXPECT_EQ(code, kErrorDiskTooSmall);
      continue;
    }
    ASSERT_EQ(code, 0u);
    // mtools' reading of the boot record gives the clusters.
    test::StickFiles files(image, 32 * kSector);
    auto info = files.run("minfo", {"::"});
    ASSERT_TRUE(info.ok()) << info.err;
    auto field = [&](const std::string &name) {
      std::size_t at = info.out.find(name);
      return at == std::string::npos
                 ? 0ull
                 : std::stoull(info.out.substr(at + name.size()));
    };
    std::uint64_t clusters =
        (field("big size: ") - field("reserved (boot) sectors: ") -
         field("fats: ") * field("Big fatlen=")) /
        field("cluster size: ");
    EXPECT_GE(clusters, kMinimumFat32Clusters) << info.out;
    EXPECT_TRUE(files.run("mdir", {"::/"}).ok());
  }
}

// Whole runs on sticks that must be refused with backup on, before any
// file is copied or any sector written, with the reason; without backup the
// same sticks are prepared, since the user agreed to lose what is on them.
class OddStick : public test::WholeRun {
public:
  // A 96 MiB stick: FAT32 with the user's files, then FAT16 with 8 more.
  void two_partitions() {
    write_image(96 * kMiB);
    sfdisk(image, "start=2048, size=131072, type=c\nstart=133120, type=e\n");
    mkfs(image, "32", 2048, 131072);
    mkfs(image, "16", 133120, 96 * kMiB / kSector - 133120);
    install({stick("stick", 'E', emulation::NodeBehaviour::Normal, 96 * kMiB)});
    files().put("NOTES.TXT", "my notes\r\n");
    test::StickFiles second(image, 133120 * kSector);
    for (int i = 1; i <= 8; ++i)
      second.put("FILE" + std::to_string(i) + ".TXT", "file " + std::to_string(i));
  }

  // A 64 MiB GPT stick with one FAT32 basic-data partition holding a file.
  void gpt() {
    write_image(64 * kMiB);
    sfdisk(image, std::string("label: gpt\nstart=2048, size=126976, type=") +
                      kBasicData + "\n");
    mkfs(image, "32", 2048, 126976);
    test::StickFiles(image, 2048 * kSector).put("NOTES.TXT", "my notes\r\n");
    install({stick("stick", 'E', emulation::NodeBehaviour::Normal, 64 * kMiB)});
  }

  // A 64 MiB stick formatted from sector 0 on, holding a file.
  void superfloppy() {
    write_image(64 * kMiB);
    mkfs(image, "16", 0, 64 * kMiB / kSector);
    test::StickFiles(image, 0).put("NOTES.TXT", "my notes\r\n");
    install({stick("stick", 'E', emulation::NodeBehaviour::Normal, 64 * kMiB)});
  }

  void small() { make_stick(16 * kMiB); }

protected:
  void write_image(std::uint64_t size) {
    std::ofstream(image).close();
    fs::resize_file(image, size);
  }

  // Nothing was left in the temporary folder, of a backup or otherwise.
  bool temp_untouched() {
    return !fs::exists(temp / "Corvantix") || fs::is_empty(temp / "Corvantix");
  }
};

TEST_F(OddStick, RefusedWithBackupBeforeAnythingChanges) {
  struct Row {
    const char *what;
    void (OddStick::*make)();
    std::string message;
  };
  const std::vector<Row> rows = {
      {"second partition", &OddStick::two_partitions,
       "Besides the partition of E:\\, whose files the backup keeps, the stick "
       "holds other partitions, which the format would erase: Partition 2 (31 "
       "MB, type 0x0E). Back up their files yourself first, or run without "
       "backup. Nothing was changed on the stick."},
      {"GPT", &OddStick::gpt,
       "The stick E:\\ has a GPT partition table, and its volume cannot be "
       "read here, so no backup of its files can be made. Back them up "
       "yourself first, or run without backup. Nothing was changed on the "
       "stick."},
      {"file system from sector 0", &OddStick::superfloppy,
       "The stick E:\\ has no partition table (a file system on it starts at "
       "its first sector), and its files cannot be read here, so no backup of "
       "them can be made. Back them up yourself first, or run without backup. "
       "Nothing was changed on the stick."},
      {"16 MiB", &OddStick::small,
       "The stick E:\\ is too small for FAT32: it has 16 MB, and FAT32 needs "
       "at least 33 MB. Nothing was changed on the stick."},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    emulation::Machine::install(nullptr);
    fs::remove(image);
    toolkit.mains.clear();
    toolkit.boxes.clear();
    (this->*row.make)();
    if (HasFatalFailure())
      return;
    std::string before = slurp(image);
    run({"-s", "E"});
    EXPECT_EQ(results(), std::vector<std::string>{row.message});
    EXPECT_TRUE(emulation::Machine::current().writes().empty());
    emulation::Machine::install(nullptr);
    EXPECT_TRUE(slurp(image) == before) << "the image changed";
    EXPECT_TRUE(temp_untouched());
    EXPECT_EQ(drive_txt(), "");
  }
}

TEST_F(OddStick, PreparedWithoutBackup) {
  for (auto make : {&OddStick::two_partitions, &OddStick::gpt,
                    &OddStick::superfloppy}) {
    emulation::Machine::install(nullptr);
    fs::remove(image);
    fs::remove("drive.txt");
    toolkit.mains.clear();
    toolkit.boxes.clear();
    (this->*make)();
    if (HasFatalFailure())
      return;
    run({"-s", "E", "-f"});
    EXPECT_EQ(results(), std::vector<std::string>{"Format Successful!"});
    EXPECT_EQ(drive_txt(), "E");
    EXPECT_TRUE(files().exists("KERNEL.SYS"));
    EXPECT_FALSE(files().exists("NOTES.TXT"));
    EXPECT_TRUE(temp_untouched());
  }
}

// The stick too small for FAT32 is refused without backup too: the format
// would fail on it after the user said yes.
TEST_F(OddStick, TooSmallIsRefusedWithoutBackupToo) {
  small();
  std::string before = slurp(image);
  run({"-s", "E", "-f"});
  ASSERT_EQ(results().size(), 1u);
  EXPECT_TRUE(results()[0].starts_with("The stick E:\\ is too small for FAT32"))
      << results()[0];
  emulation::Machine::install(nullptr);
  EXPECT_TRUE(slurp(image) == before);
}

} // namespace
} // namespace corvantix
