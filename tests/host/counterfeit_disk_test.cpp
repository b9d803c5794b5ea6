// Counterfeit sticks of the emulated machine: they claim their full size
// and keep only their real one, byte p landing on byte p mod real.
#include "host/emulated_disks.h"
#include "platform/filesystem.h"
#include "platform/host/machine/image_range.h"
#include "platform/host/win32/kernel32.h"

#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/vfs.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
namespace emulation = corvantix::emulation;
using corvantix::test::kMiB;
using emulation::Machine;

class CounterfeitDisk : public corvantix::test::EmulatedDisks {
protected:
  static emulation::DiskConfig counterfeit(const fs::path &image,
                                           std::uint64_t claimed,
                                           std::uint64_t real, bool blank) {
    emulation::DiskConfig config = stick(image, claimed, blank);
    config.real_size = real;
    return config;
  }
  /// `size` bytes that no format writes.
  static std::string bytes(std::size_t size, int seed) {
    std::string data;
    for (int sector = 0; data.size() < size; ++sector)
      data += pattern(seed * 64 + sector);
    return data.substr(0, size);
  }
  static void seek(HANDLE device, std::uint64_t to) {
    LONG high = LONG(to >> 32);
    ASSERT_NE(SetFilePointer(device, LONG(to & 0xFFFFFFFF), &high, FILE_BEGIN),
              INVALID_SET_FILE_POINTER);
  }
};

TEST_F(CounterfeitDisk, RawTransfersLandOnTheirOffsetModuloTheRealSize) {
  constexpr std::uint64_t kClaimed = 64 * kMiB, kReal = 16 * kMiB;
  fs::path image = dir() / "fake.img";
  Machine &machine = machine_with(counterfeit(image, kClaimed, kReal, true));
  HANDLE disk = CreateFileA("\\\\.\\PhysicalDrive1",
                            GENERIC_READ | GENERIC_WRITE, 3, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(disk, INVALID_HANDLE_VALUE);
  DWORD done = 0;

  struct Case {
    std::uint64_t at;
    DWORD size;
  } cases[] = {
      {512, 512},                   // below the real size
      {kReal, 1024},                // the wrap point itself
      {kReal - 512, 1024},          // crossing it
      {40 * kMiB + 4096, 4096},     // two wraps on
      {2 * kReal - 1536, 4096},     // crossing the second
      {kClaimed - 1024, 1024},      // the last sectors claimed
  };
  int seed = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.at);
    std::string data = bytes(c.size, ++seed), back(c.size, '\0');
    seek(disk, c.at);
    ASSERT_TRUE(WriteFile(disk, data.data(), c.size, &done, nullptr));
    EXPECT_EQ(machine.writes().back().offset, c.at) << "logged as the disk's";
    for (std::uint64_t from : {c.at % kReal, c.at}) {
      seek(disk, from);
      ASSERT_TRUE(ReadFile(disk, back.data(), c.size, &done, nullptr));
      EXPECT_EQ(back, data) << "read at " << from;
    }
    std::uint64_t first = std::min<std::uint64_t>(c.size, kReal - c.at % kReal);
    EXPECT_EQ(read(image, c.at % kReal, first), data.substr(0, first));
    EXPECT_EQ(read(image, 0, c.size - first), data.substr(first));
  }
  EXPECT_EQ(fs::file_size(image), kReal) << "the image never grows";
  std::string past(1024, '\0');
  seek(disk, kClaimed - 512);
  EXPECT_FALSE(ReadFile(disk, past.data(), 1024, &done, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SECTOR_NOT_FOUND));
  CloseHandle(disk);
}

// The shop formats the size a counterfeit claims, so its files are where a
// true stick has them; what lies beyond the real size folds down in
// ascending order, so the later of two writes to one byte wins, and holes
// (never written) fold nothing.
TEST_F(CounterfeitDisk, ANewOneIsSoldFormattedForTheSizeItClaims) {
  struct Case {
    std::uint64_t real, at, from; // image[at] holds a true stick's [from]
  } cases[] = {
      {kMiB, 0, kMiB},               // the boot sector over the MBR
      {kMiB / 2, 0, 3 * kMiB / 2},   // FAT sectors over that boot sector
      {48 * kMiB, 0, 0},             // nothing beyond: the MBR stays
  };
  std::vector<emulation::DiskConfig> disks = {stick(dir() / "true.img",
                                                    64 * kMiB)};
  for (const Case &c : cases) {
    disks.back().letter = 0; // only the last one gets E:
    disks.push_back(counterfeit(dir() / (std::to_string(c.real) + ".img"),
                                64 * kMiB, c.real, false));
  }
  Machine::install(std::make_unique<Machine>(disks, dir() / "state"));
  Machine &machine = Machine::current();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.real);
    fs::path image = dir() / (std::to_string(c.real) + ".img");
    EXPECT_EQ(fs::file_size(image), c.real);
    EXPECT_EQ(read(image, c.at, 512), read(dir() / "true.img", c.from, 512));
  }
  EXPECT_NE(read(dir() / "true.img", kMiB, 512),
            read(dir() / "true.img", 3 * kMiB / 2, 512));

  emulation::Disk &disk = *machine.disk_by_letter('E');
  EXPECT_EQ(disk.size(), 64 * kMiB);
  ASSERT_TRUE(disk.mounted);
  EXPECT_EQ(disk.volume_offset + disk.volume_length, 64 * kMiB);
  EXPECT_EQ(machine.volume_image('E').wrap, 48 * kMiB);
  corvantix::platform::FileSystem &files =
      corvantix::platform::native_file_system();
  EXPECT_EQ(files.list_tree("E:\\").files.size(), 2u);
  files.copy_file("E:\\README.TXT", (dir() / "readme.txt").string());
  EXPECT_EQ(read(dir() / "readme.txt", 0, 100),
            "Thank you for buying this USB stick.\r\n");
}

// Volume offset 6K on a disk that keeps 8K: volume byte x is image byte
// (6K + x) mod 8K, whether it waited in memory or went straight through.
TEST_F(CounterfeitDisk, ImageRangesWrapAndForgetTheHostsCache) {
  constexpr std::uint64_t kWrap = 8192, kOffset = 6144;
  fs::path image = dir() / "range.img";
  std::ofstream(image, std::ios::binary) << std::string(kWrap, '\0');
  emulation::ImageRange range(image.string(), kOffset, 64 * 1024, kWrap);
  ASSERT_EQ(range.Error(), 0u);
  struct Case {
    std::uint64_t at, size;
  } cases[] = {{0, 512}, {1536, 1024}, {9728, 8192}, {100, 700}, {60000, 5000}};
  int seed = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.at);
    std::string data = bytes(c.size, ++seed), back(c.size, '\0');
    ASSERT_EQ(range.Write(c.at, data.data(), c.size), 0u);
    ASSERT_EQ(range.Read(c.at, back.data(), c.size), 0u);
    EXPECT_EQ(back, data);
    ASSERT_EQ(range.Flush(), 0u);
    std::string file = read(image, 0, kWrap);
    for (std::uint64_t i = 0; i < c.size; ++i)
      ASSERT_EQ(file[(kOffset + c.at + i) % kWrap], data[i]) << i;
  }
  EXPECT_EQ(fs::file_size(image), kWrap);

  struct statfs where;
  ASSERT_EQ(statfs(image.c_str(), &where), 0);
  if (where.f_type == TMPFS_MAGIC)
    GTEST_SKIP() << "tmpfs keeps its files in the page cache";
  std::string sector = bytes(512, 99);
  ASSERT_EQ(range.Write(512, sector.data(), 512), 0u); // waits in memory
  ASSERT_EQ(range.Forget(), 0u);
  EXPECT_EQ(read(image, kOffset + 512, 512), sector) << "written first";
  ASSERT_EQ(range.Forget(), 0u);
  int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  void *map = ::mmap(nullptr, kWrap, PROT_READ, MAP_SHARED, fd, 0);
  ASSERT_NE(map, MAP_FAILED);
  unsigned char resident[2] = {1, 1};
  ASSERT_EQ(::mincore(map, kWrap, resident), 0);
  EXPECT_EQ(resident[0] & 1, 0) << "the next read comes from the medium";
  EXPECT_EQ(resident[1] & 1, 0);
  ::munmap(map, kWrap);
  ::close(fd);
}

} // namespace
