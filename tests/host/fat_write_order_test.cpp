// A kill at any moment leaves a FAT file system that fsck.fat finds sound
// but for lost clusters: the writes of a busy session, as they reach the
// image file through ImageRange, are laid on a fresh copy one by one, and
// fsck.fat judges the image after each.
#include "disk/fat/volume.h"
#include "platform/host/machine/image_range.h"
#include "unit/scratch.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>

namespace fat_write_order {

namespace fat = corvantix::fat;
using corvantix::test::Scratch;

struct Stored {
  std::uint64_t offset;
  std::string bytes;
};

// ImageRange, noting every write that leaves memory for the file.
class RecordingRange : public corvantix::emulation::ImageRange {
public:
  RecordingRange(const std::string &image, std::vector<Stored> &log)
      : ImageRange(image, 0, std::filesystem::file_size(image)), log_(log) {}

protected:
  std::uint32_t WriteThrough(std::uint64_t offset, const char *data,
                             std::size_t size) override {
    log_.push_back({offset, std::string(data, size)});
    return ImageRange::WriteThrough(offset, data, size);
  }

private:
  std::vector<Stored> &log_;
};

std::string judge(const std::string &image, int &status) {
  FILE *pipe = popen(("fsck.fat -n " + image + " 2>&1").c_str(), "r");
  std::string out;
  char buffer[4096];
  for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    out.append(buffer, got);
  status = WEXITSTATUS(pclose(pipe));
  return out;
}

// The lines of a report that tell of more than lost clusters. Exit code 1
// with nothing else means fsck.fat would only reclaim them; FATs that
// differ but are both intact are a kill between the two copies; FSInfo's
// free count is a hint that may be stale.
std::string faults(const std::string &report, int status) {
  static const std::regex harmless(
      "fsck\\.fat .*|Reclaimed \\d+ unused clusters? \\(\\d+ bytes\\)\\.|"
      "Leaving filesystem unchanged\\.|.*: \\d+ files, \\d+/\\d+ clusters|"
      "FATs differ but appear to be intact\\.|  Using first FAT\\.|"
      "Free cluster summary (uninitialized|wrong) .*|");
  if (status != 0 && status != 1)
    return report;
  std::istringstream lines(report);
  std::string faults;
  bool summary = false; // FSInfo's count, which fsck.fat would correct
  for (std::string line; std::getline(lines, line);) {
    if (!std::regex_match(line, harmless) && !(summary && line == "  Auto-correcting."))
      faults += line + "\n";
    summary = line.starts_with("Free cluster summary");
  }
  return faults;
}

std::string content(int seed, std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = char(seed * 131 + i * 7);
  return bytes;
}

void put(fat::FatVolume &volume, const std::string &path, std::size_t size, int seed) {
  fat::FileWriter writer;
  ASSERT_EQ(volume.CreateOrTruncate(path, fat::kArchive, {}, writer), 0u) << path;
  const std::string bytes = content(seed, size);
  for (std::size_t at = 0; at < size; at += 3000)
    ASSERT_EQ(writer.Write(bytes.data() + at, std::min<std::size_t>(3000, size - at)), 0u);
  ASSERT_EQ(writer.Close(), 0u) << path;
}

std::string name(int i) { return "grow/a file with a long name " + std::to_string(i); }

// Folders that grow past a cluster, entries longer than one, small files
// whose data waits in memory and large ones that do not, then deletes,
// truncations, a rename and a removed folder whose clusters new files take.
void busy_session(fat::FatVolume &volume) {
  ASSERT_EQ(volume.CreateFolder("grow"), 0u);
  ASSERT_EQ(volume.CreateFolder("grow/sub"), 0u);
  for (int i = 0; i < 30; ++i)
    put(volume, name(i), i * 701 % 6000, i);
  put(volume, "grow/sub/big", 20000, 99);
  for (char c : {'m', 'n'}) // names longer than a 512-byte cluster of records
    put(volume, "grow/" + std::string(200, c), 100, c);
  ASSERT_EQ(volume.Flush(), 0u);
  for (int i = 0; i < 30; i += 3)
    ASSERT_EQ(volume.Delete(name(i)), 0u);
  for (int i = 1; i < 30; i += 4)
    put(volume, name(i), 900, i + 50);
  ASSERT_EQ(volume.Rename(name(2), "renamed"), 0u);
  ASSERT_EQ(volume.Delete("grow/sub/big"), 0u);
  ASSERT_EQ(volume.Delete("grow/" + std::string(200, 'm')), 0u);
  ASSERT_EQ(volume.Delete("grow/sub"), 0u);
  ASSERT_EQ(volume.CreateFolder("again"), 0u);
  for (int i = 0; i < 20; ++i)
    put(volume, "again/new file number " + std::to_string(i), 1500, i + 100);
  ASSERT_EQ(volume.Flush(), 0u);
}

struct Layout {
  const char *options;
  int kib;
};

TEST(FatWriteOrder, EveryPrefixOfTheWritesIsSoundButForLostClusters) {
  const Layout layouts[] = {{"-F 12 -s 1", 2048}, {"-F 16 -s 2 -r 64", 16384},
                            {"-F 32 -s 1", 34816}};
  for (const Layout &layout : layouts) {
    Scratch scratch;
    const std::string work = scratch.path("work.img"), replay = scratch.path("replay.img");
    int status = 0;
    ASSERT_EQ(std::system(("mkfs.fat -C " + std::string(layout.options) + " " + work + " " +
                           std::to_string(layout.kib) + " >/dev/null").c_str()),
              0);
    std::filesystem::copy_file(work, replay);
    std::vector<Stored> log;
    {
      RecordingRange range(work, log);
      std::unique_ptr<fat::FatVolume> volume;
      ASSERT_EQ(fat::FatVolume::Mount(range, volume), 0u);
      busy_session(*volume);
    }
    ASSERT_GT(log.size(), 50u);
    const int fd = open(replay.c_str(), O_WRONLY);
    for (std::size_t i = 0; i < log.size(); ++i) {
      ASSERT_EQ(pwrite(fd, log[i].bytes.data(), log[i].bytes.size(), off_t(log[i].offset)),
                ssize_t(log[i].bytes.size()));
      const std::string report = judge(replay, status);
      const std::string found = faults(report, status);
      ASSERT_EQ(found, "") << layout.options << ": after write " << i + 1 << " of "
                           << log.size() << "\n" << report;
    }
    close(fd);
    EXPECT_EQ(std::system(("cmp -s " + work + " " + replay).c_str()), 0) << layout.options;
    judge(replay, status);
    EXPECT_EQ(status, 0) << layout.options;
  }
}

} // namespace fat_write_order
