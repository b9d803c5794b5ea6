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
#include <tuple>

namespace corvantix {
namespace {

namespace fs = std::filesystem;
using test::kMiB;
using test::slurp;

constexpr const char *kDisk = "\\\\.\\PhysicalDrive1";
constexpr std::uint64_t kSector = 512, kSize = 64 * kMiB, kEnd = kSize / kSector;
const std::string kGpt = "label: gpt\nstart=2048, size=32768, "
                         "type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n"
                         "start=34816, size=16384, "
                         "type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\n";

// The outside builders, on the image file.
void sfdisk(const fs::path &image, const std::string &script) {
  std::ofstream(image.string() + ".in") << script;
  auto made = emulation::run_tool({"sh", "-c", "sfdisk -q --no-tell-kernel '" +
                                                   image.string() + "' < '" +
                                                   image.string() + ".in'"});
  ASSERT_TRUE(made.ok()) << made.err;
}

void mkfs(const fs::path &image, const std::string &fat, std::uint64_t start,
          std::uint64_t sectors) {
  // One sector per cluster gives a small FAT32 its 65,525 clusters.
  auto made = emulation::run_tool(
      {"mkfs.fat", "-F", fat, "-s", fat == "32" ? "1" : "4", "--offset",
       std::to_string(start), "--mbr=n", image.string(),
       std::to_string(sectors / 2)});
  ASSERT_TRUE(made.ok()) << made.err;
}

void put(const fs::path &image, std::uint64_t at, const std::string &bytes) {
  std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(std::streamoff(at)).write(bytes.data(), std::streamsize(bytes.size()));
}

void blank(const fs::path &image, std::uint64_t size) {
  std::ofstream(image).close();
  fs::resize_file(image, size);
}

// A hand-made MBR or EBR entry: type, first sector (relative), sectors.
void entry(const fs::path &image, std::uint64_t table, int slot, char type,
           std::uint32_t first, std::uint32_t count) {
  std::string bytes(16, '\0');
  bytes[4] = type;
  std::memcpy(&bytes[8], &first, 4);
  std::memcpy(&bytes[12], &count, 4);
  put(image, table * kSector + 446 + 16 * slot, bytes);
  put(image, table * kSector + 510, "\x55\xAA");
}

// Number, first sector, sectors, MBR type byte or the GPT type's Data1.
using Listed = std::tuple<DWORD, std::uint64_t, std::uint64_t, std::uint32_t>;

class DiskLayout : public test::EmulatedDisks {};

TEST_F(DiskLayout, TablesReadAsWindowsReportsThem) {
  struct Row {
    const char *what;
    std::string script; // for sfdisk, if any
    std::function<void(const fs::path &)> then;
    DWORD style;
    std::vector<Listed> partitions;
  };
  const std::vector<Row> rows = {
      {"MBR, one partition", "start=2048, type=c\n", {}, PARTITION_STYLE_MBR,
       {{1, 2048, kEnd - 2048, 0x0C}}},
      {"MBR, two partitions", "start=2048, size=65536, type=c\nstart=67584, type=e\n",
       {}, PARTITION_STYLE_MBR,
       {{1, 2048, 65536, 0x0C}, {2, 67584, kEnd - 67584, 0x0E}}},
      {"MBR, second slot only", "2: start=4096, size=8192, type=6\n", {},
       PARTITION_STYLE_MBR, {{1, 4096, 8192, 0x06}}},
      {"extended partition with two logical drives",
       "start=2048, size=32768, type=c\nstart=34816, size=61440, type=5\n"
       "start=36864, size=16384, type=e\nstart=55296, size=8192, type=83\n"
       "start=96256, type=7\n",
       {}, PARTITION_STYLE_MBR,
       {{1, 2048, 32768, 0x0C}, {2, 96256, kEnd - 96256, 0x07},
        {3, 36864, 16384, 0x0E}, {4, 55296, 8192, 0x83}}},
      {"extended boot record that links to itself", "",
       [](const fs::path &image) {
         entry(image, 0, 0, 0x0C, 2048, 8192);
         entry(image, 0, 1, 0x0F, 16384, 16384);
         entry(image, 16384, 0, 0x0E, 2048, 2048);
         entry(image, 16384, 1, 0x05, 8192, 8192);
         entry(image, 24576, 0, 0x0B, 1024, 1024);
         entry(image, 24576, 1, 0x05, 8192, 8192); // back to 24576
       },
       PARTITION_STYLE_MBR,
       {{1, 2048, 8192, 0x0C}, {2, 18432, 2048, 0x0E}, {3, 25600, 1024, 0x0B}}},
      {"GPT", kGpt, {}, PARTITION_STYLE_GPT,
       {{1, 2048, 32768, 0xEBD0A0A2}, {2, 34816, 16384, 0x0FC63DAF}}},
      {"GPT whose first header is damaged", kGpt,
       [](const fs::path &image) { put(image, kSector + 20, "damage"); },
       PARTITION_STYLE_GPT,
       {{1, 2048, 32768, 0xEBD0A0A2}, {2, 34816, 16384, 0x0FC63DAF}}},
      {"protective MBR without a GPT behind it", kGpt,
       [](const fs::path &image) {
         put(image, kSector, std::string(kSector, '\0'));
         put(image, kSize - kSector, std::string(kSector, '\0'));
       },
       PARTITION_STYLE_MBR, {{1, 1, kEnd - 1, 0xEE}}},
      {"FAT from sector 0 on", "",
       [](const fs::path &image) { mkfs(image, "16", 0, kEnd); },
       PARTITION_STYLE_RAW, {}},
      {"zeros", "", {}, PARTITION_STYLE_RAW, {}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    emulation::Machine::install(nullptr);
    fs::path image = dir() / "layout.img";
    blank(image, kSize);
    if (!row.script.empty())
      sfdisk(image, row.script);
    if (row.then)
      row.then(image);
    if (HasFatalFailure())
      return;
    std::string before = read(image, 0, kSize);
    emulation::Machine &machine = machine_with(stick(image, kSize, true));

    DISK_LAYOUT layout;
    ASSERT_EQ(ReadDiskLayout(kDisk, layout), 0u);
    EXPECT_EQ(layout.Style, row.style);
    EXPECT_EQ(layout.DiskSize, kSize);
    std::vector<Listed> found;
    for (const DISK_PARTITION &p : layout.Partitions)
      found.push_back({p.Number, p.Offset / kSector, p.Length / kSector,
                       p.MbrType ? p.MbrType : p.GptType.Data1});
    EXPECT_EQ(found, row.partitions);
    EXPECT_TRUE(machine.writes().empty());
    EXPECT_TRUE(machine.handles().empty()) << "the disk's handle is closed";
    EXPECT_TRUE(read(image, 0, kSize) == before);
  }
}

// The answer has Windows' shape: four slots per table sector, a number only
// for a used slot that holds no container; a buffer short of one entry is
// refused.
TEST_F(DiskLayout, TheQueryFillsSlotsAndRefusesShortBuffers) {
  fs::path image = dir() / "extended.img";
  blank(image, kSize);
  sfdisk(image, "start=2048, size=32768, type=c\nstart=34816, type=f\n"
                "start=36864, size=8192, type=e\nstart=47104, type=b\n");
  machine_with(stick(image, kSize, true));
  HANDLE disk = CreateFileA(kDisk, GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  std::vector<PARTITION_INFORMATION_EX> buffer(16);
  DWORD size = DWORD(buffer.size() * sizeof buffer[0]), returned = 0;
  ASSERT_TRUE(DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                              buffer.data(), size, &returned, nullptr));
  const auto *layout =
      reinterpret_cast<const DRIVE_LAYOUT_INFORMATION_EX *>(buffer.data());
  std::vector<std::tuple<int, DWORD, LONGLONG>> slots;
  for (DWORD i = 0; i < layout->PartitionCount; ++i) {
    const PARTITION_INFORMATION_EX &e = layout->PartitionEntry[i];
    slots.push_back({e.Mbr.PartitionType, e.PartitionNumber,
                     e.StartingOffset.QuadPart / LONGLONG(kSector)});
  }
  EXPECT_EQ(slots, (std::vector<std::tuple<int, DWORD, LONGLONG>>{
                       {0x0C, 1, 2048}, {0x0F, 0, 34816}, {0, 0, 0}, {0, 0, 0},
                       {0x0E, 2, 36864}, {0x05, 0, 45056}, {0, 0, 0}, {0, 0, 0},
                       {0x0B, 3, 47104}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}}));
  EXPECT_EQ(returned, offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) +
                          12 * sizeof buffer[0]);
  EXPECT_FALSE(DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                               buffer.data(), returned - 1, &returned, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  CloseHandle(disk);
}

// The smallest size that the check lets through is one the formatter makes
// FAT32 of, as mtools counts its clusters; one sector less is refused.
TEST_F(DiskLayout, TheSmallestSizeIsWhereTheFormatterStopsRefusing) {
  const std::uint64_t smallest = MinimumFat32DiskSize();
  for (std::uint64_t size : {smallest - kSector, smallest, smallest + kSector,
                             smallest + 130 * kSector}) {
    SCOPED_TRACE(size);
    emulation::Machine::install(nullptr);
    fs::path image = dir() / ("size-" + std::to_string(size) + ".img");
    machine_with(stick(image, size, true));
    DWORD code = CreatePartitionAndFormatFAT32(kDisk, 'E');
    if (size < smallest) {
      EXPECT_EQ(code, kErrorDiskTooSmall);
      continue;
    }
    ASSERT_EQ(code, 0u);
    auto info = test::StickFiles(image, 32 * kSector).run("minfo", {"::"});
    auto field = [&](const std::string &name) {
      std::size_t at = info.out.find(name);
      return at == std::string::npos ? 0 : std::stoull(info.out.substr(at + name.size()));
    };
    EXPECT_GE((field("big size: ") - field("reserved (boot) sectors: ") -
               field("fats: ") * field("Big fatlen=")) / field("cluster size: "),
              kMinimumFat32Clusters)
        << info.out;
  }
}

// Whole runs on sticks that a run with backup must refuse, with the reason,
// before any file is copied or any sector written; without backup the same
// sticks are prepared (the user agreed to lose what is on them), except
// one too small for FAT32.
class OddStick : public test::WholeRun {
public:
  // 96 MiB: FAT32 with the user's file, then 31 MiB of FAT16 with 8 more.
  void two_partitions() {
    blank(image, 96 * kMiB);
    sfdisk(image, "start=2048, size=131072, type=c\nstart=133120, type=e\n");
    mkfs(image, "32", 2048, 131072);
    mkfs(image, "16", 133120, 63488);
    for (int i = 1; i <= 8; ++i)
      test::StickFiles(image, 133120 * kSector).put(std::to_string(i) + ".TXT", "8");
    with_file(2048);
  }
  void gpt() {
    blank(image, kSize);
    sfdisk(image, kGpt.substr(0, kGpt.find("\nstart=34816")));
    mkfs(image, "32", 2048, 126976);
    with_file(2048);
  }
  void superfloppy() {
    blank(image, kSize);
    mkfs(image, "16", 0, kEnd);
    with_file(0);
  }
  void small() { make_stick(16 * kMiB); }

  void with_file(std::uint64_t lba) {
    test::StickFiles(image, lba * kSector).put("NOTES.TXT", "my notes\r\n");
    install({stick("stick", 'E', emulation::NodeBehaviour::Normal,
                   fs::file_size(image))});
  }
};

TEST_F(OddStick, RefusedBeforeAnythingChanges) {
  struct Row {
    void (OddStick::*make)();
    std::string message;
    bool prepared_without_backup;
  };
  Res::init_for("en-US");
  const std::vector<Row> rows = {
      {&OddStick::two_partitions,
       Res::format("USB_ERR_PARTITIONS", "E:\\", "Partition 2 (31 MB, type 0x0E)."),
       true},
      {&OddStick::gpt, Res::format("USB_ERR_GPT", "E:\\"), true},
      {&OddStick::superfloppy, Res::format("USB_ERR_NO_TABLE", "E:\\"), true},
      {&OddStick::small,
       "The stick E:\\ is too small for FAT32: it has 16 MB, and FAT32 needs "
       "at least 33 MB. Nothing was changed on the stick.",
       false},
  };
  for (const Row &row : rows)
    for (bool backup : {true, false}) {
      SCOPED_TRACE(row.message + (backup ? "" : " Without backup."));
      emulation::Machine::install(nullptr);
      fs::remove(image);
      fs::remove("drive.txt");
      toolkit.mains.clear();
      toolkit.boxes.clear();
      (this->*row.make)();
      if (HasFatalFailure())
        return;
      std::string before = slurp(image);
      run(backup ? std::vector<std::string>{"-s", "E"}
                 : std::vector<std::string>{"-s", "E", "-f"});
      EXPECT_TRUE(!fs::exists(temp / "Corvantix") || fs::is_empty(temp / "Corvantix"))
          << "nothing is left in the temporary folder";
      if (!backup && row.prepared_without_backup) {
        EXPECT_EQ(results(), std::vector<std::string>{"Format Successful!"});
        EXPECT_TRUE(files().exists("KERNEL.SYS"));
        EXPECT_FALSE(files().exists("NOTES.TXT"));
        continue;
      }
      EXPECT_EQ(results(), std::vector<std::string>{row.message});
      EXPECT_EQ(drive_txt(), "");
      EXPECT_TRUE(emulation::Machine::current().writes().empty());
      emulation::Machine::install(nullptr);
      EXPECT_TRUE(slurp(image) == before) << "the image changed";
    }
}

} // namespace
} // namespace corvantix
