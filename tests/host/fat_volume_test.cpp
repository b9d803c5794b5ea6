// The FAT library on images that mkfs.fat made, judged by fsck.fat and
// mtools and read back through the library itself.
#include "disk/fat/volume.h"
#include "platform/win32api.h"
#include "unit/scratch.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <random>

namespace {

namespace fat = corvantix::fat;
using corvantix::test::Scratch;

// A BlockIo over an image file, refusing (and counting) every access
// outside it.
class ImageIo : public fat::BlockIo {
public:
  explicit ImageIo(const std::string &path) : fd_(open(path.c_str(), O_RDWR)) {}
  ~ImageIo() override { close(fd_); }

  std::uint32_t Read(std::uint64_t offset, void *data, std::size_t size) override {
    if (!inside(offset, size))
      return ERROR_SEEK;
    return pread(fd_, data, size, off_t(offset)) == ssize_t(size) ? 0 : ERROR_READ_FAULT;
  }
  std::uint32_t Write(std::uint64_t offset, const void *data, std::size_t size) override {
    ++writes;
    if (!inside(offset, size))
      return ERROR_SEEK;
    return pwrite(fd_, data, size, off_t(offset)) == ssize_t(size) ? 0 : ERROR_WRITE_FAULT;
  }
  std::uint32_t Flush() override { return 0; }
  std::uint64_t Length() const override { return std::uint64_t(lseek(fd_, 0, SEEK_END)); }

  int outside = 0;
  int writes = 0;

private:
  bool inside(std::uint64_t offset, std::size_t size) {
    const bool ok = offset <= Length() && size <= Length() - offset;
    outside += !ok;
    return ok;
  }
  const int fd_;
};

// Runs a judge; its exit code, with its output in `out`.
int run(const std::string &command, std::string &out) {
  FILE *pipe = popen((command + " 2>&1").c_str(), "r");
  char buffer[4096];
  out.clear();
  for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    out.append(buffer, got);
  return WEXITSTATUS(pclose(pipe));
}

std::string content(const std::string &name, std::size_t size) {
  std::mt19937 random(std::uint32_t(std::hash<std::string>()(name)));
  std::string bytes(size, '\0');
  for (char &byte : bytes)
    byte = char(random());
  return bytes;
}

std::uint32_t put(fat::FatVolume &volume, const std::string &path, const std::string &bytes,
                  std::size_t chunk = 7000) {
  fat::FileWriter writer;
  if (std::uint32_t error = volume.CreateOrTruncate(path, fat::kArchive, {0x5A21, 0x6000}, writer))
    return error;
  for (std::size_t at = 0; at < bytes.size(); at += chunk)
    if (std::uint32_t error =
            writer.Write(bytes.data() + at, std::min(chunk, bytes.size() - at)))
      return error;
  return writer.Close();
}

std::string get(fat::FatVolume &volume, const std::string &path) {
  fat::FileReader reader;
  EXPECT_EQ(volume.OpenFile(path, reader), 0u) << path;
  std::string bytes;
  char buffer[5000];
  std::size_t got;
  while (reader.Read(buffer, sizeof buffer, got) == 0 && got)
    bytes.append(buffer, got);
  return bytes;
}

class FatVolumeTest : public testing::Test {
protected:
  void SetUp() override { open_image("-F 16", 32768); }
  void open_image(const std::string &options, int kib) {
    volume.reset();
    image = scratch.path("fat.img");
    std::filesystem::remove(image);
    std::string out;
    EXPECT_EQ(run("mkfs.fat -C " + options + " " + image + " " + std::to_string(kib), out), 0)
        << out;
    reopen();
  }
  void reopen() {
    volume.reset();
    io = std::make_unique<ImageIo>(image);
    ASSERT_EQ(fat::FatVolume::Mount(*io, volume), 0u);
  }
  // Once flushed, the volume is whole on the medium, before it is let go.
  void expect_clean_volume() {
    ASSERT_EQ(volume->Flush(), 0u);
    EXPECT_EQ(io->outside, 0);
    expect_clean();
  }
  void expect_clean() {
    std::string report;
    EXPECT_EQ(run("fsck.fat -n " + image, report), 0) << report;
  }

  Scratch scratch;
  std::string image;
  std::unique_ptr<ImageIo> io;
  std::unique_ptr<fat::FatVolume> volume;
};

struct Layout {
  const char *name;
  const char *options;
  int kib;
  fat::FatType type;
};

const Layout kLayouts[] = {
    {"Fat12", "-F 12 -n LABEL", 2048, fat::FatType::Fat12},
    {"Fat16", "-F 16", 32768, fat::FatType::Fat16},
    {"Fat16Sectors4096", "-F 16 -S 4096", 65536, fat::FatType::Fat16},
    {"Fat32", "-F 32 -n LABEL", 262144, fat::FatType::Fat32},
};

class FatVolumeLayouts : public FatVolumeTest, public testing::WithParamInterface<Layout> {
protected:
  void SetUp() override { open_image(GetParam().options, GetParam().kib); }
};

// Names that stress the long-name slots and the short aliases.
const std::string kHostileNames[] = {
    "\xF0\x9F\x98\x80 emoji \xF0\x9F\x8E\x89.txt", // surrogate pairs
    "Cafe\xCC\x81 de\xCC\x81" "compose\xCC\x81", // combining accents
    "  leading spaces", "d[1]", "readme.txt", "MixedCase.Txt", "1LONGN~1.TXT", "1 long name.txt",
    "many.dots.in.a.name.tar.gz", std::string(255, 'L'),
    std::string(100, 'x') + "\xF0\x9F\x98\x80" + std::string(153, 'y'), // 255 units
};

TEST_P(FatVolumeLayouts, HostileTreeSurvivesTheJudgesAndReadsBack) {
  EXPECT_EQ(volume->Type(), GetParam().type);
  const std::size_t cluster = volume->ClusterBytes();
  const std::size_t sizes[] = {0, 1, cluster - 1, cluster, cluster + 1, 3 * cluster + 17, 70000};
  std::map<std::string, std::string> written; // path -> bytes
  for (const char *folder : {"", "d[1] folder", "d[1] folder/Sub Folder"}) {
    if (*folder) {
      ASSERT_EQ(volume->CreateFolder(folder), 0u) << folder;
    }
    for (std::size_t i = 0; i < std::size(kHostileNames); ++i) {
      const std::string path = (*folder ? std::string(folder) + "/" : "") + kHostileNames[i];
      written[path] = content(path, sizes[i % std::size(sizes)]);
      ASSERT_EQ(put(*volume, path, written[path]), 0u) << path;
    }
  }
  expect_clean_volume();
  reopen(); // and so it stays once let go
  expect_clean();
  std::string listing;
  ASSERT_EQ(run("LC_ALL=C.UTF-8 mdir -/ -a -i " + image + " ::", listing), 0) << listing;
  // (mtools shows no character beyond the Basic Multilingual Plane.)
  for (const char *name : {"d[1] folder", "Sub Folder", "MixedCase.Txt", "1 long name.txt",
                           "  leading spaces", kHostileNames[1].c_str()})
    EXPECT_NE(listing.find(name), std::string::npos) << name << "\n" << listing;
  for (const char *path : {"d[1] folder/Sub Folder/readme.txt", "1 long name.txt", "d[1]",
                           "d[1] folder/many.dots.in.a.name.tar.gz"}) {
    std::string pattern; // mtools reads '[' as the start of a character class
    for (const char *c = path; *c; ++c)
      pattern += *c == '[' ? std::string("[[]") : std::string(1, *c);
    std::string bytes;
    run("mcopy -i " + image + " '::" + pattern + "' - 2>/dev/null", bytes);
    EXPECT_TRUE(bytes == written[path]) << path;
  }

  for (const auto &[path, bytes] : written)
    EXPECT_TRUE(get(*volume, path) == bytes) << path;
  std::vector<fat::DirEntry> root;
  ASSERT_EQ(volume->List("", root), 0u);
  std::size_t listed = 0; // the files and the folder, never the label
  for (const fat::DirEntry &entry : root)
    listed += written.count(entry.name) || entry.name == "d[1] folder";
  EXPECT_EQ(listed, std::size(kHostileNames) + 1);
  EXPECT_EQ(root.size(), listed);
  std::uint64_t free = 0;
  EXPECT_EQ(volume->FreeBytes(free), 0u);
  volume.reset();
  EXPECT_EQ(io->writes, 0) << "reading wrote to the volume";
}

INSTANTIATE_TEST_SUITE_P(FatVolume, FatVolumeLayouts, testing::ValuesIn(kLayouts),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(FatVolumeTest, RefusesWhatWindowsRefuses) {
  ASSERT_EQ(volume->CreateFolder("full"), 0u);
  ASSERT_EQ(put(*volume, "full/file.txt", "x"), 0u);
  ASSERT_EQ(put(*volume, "locked file.txt", "x"), 0u);
  ASSERT_EQ(volume->SetAttributes("locked file.txt", fat::kReadOnly), 0u);
  fat::FileWriter writer;
  fat::FileReader reader;
  fat::DirEntry entry;
  std::vector<fat::DirEntry> list;
  auto &v = *volume;
  // FatNames.LongNameValidity covers which names are bad; here, that the calls refuse them.
  const struct {
    const char *what;
    std::function<std::uint32_t()> call;
    std::uint32_t code;
  } cases[] = {
      {"missing file", [&] { return v.Find("full/none", entry); }, ERROR_FILE_NOT_FOUND},
      {"missing folder", [&] { return v.Find("none/file.txt", entry); }, ERROR_PATH_NOT_FOUND},
      {"file as folder", [&] { return v.Find("full/file.txt/x", entry); }, ERROR_DIRECTORY},
      {"file listed", [&] { return v.List("full/FILE.TXT", list); }, ERROR_DIRECTORY},
      {"folder taken", [&] { return v.CreateFolder("FULL"); }, ERROR_ALREADY_EXISTS},
      {"alias taken", [&] { return v.CreateFolder("LOCKED~1.TXT"); }, ERROR_ALREADY_EXISTS},
      {"folder as file", [&] { return v.CreateOrTruncate("full", 0, {}, writer); }, ERROR_ACCESS_DENIED},
      {"read-only truncated",
       [&] { return v.CreateOrTruncate("LOCKED~1.TXT", 0, {}, writer); }, ERROR_ACCESS_DENIED},
      {"read-only deleted", [&] { return v.Delete("locked file.txt"); }, ERROR_ACCESS_DENIED},
      {"folder not empty", [&] { return v.Delete("full"); }, ERROR_DIR_NOT_EMPTY},
      {"folder opened", [&] { return v.OpenFile("full", reader); }, ERROR_ACCESS_DENIED},
      {"reserved character", [&] { return v.CreateFolder("a:b"); }, ERROR_INVALID_NAME},
      {"256 units", [&] { return v.CreateFolder(std::string(256, 'n')); },
       ERROR_FILENAME_EXCED_RANGE},
      {"rename onto a name", [&] { return v.Rename("full/file.txt", "FILE.TXT "); },
       ERROR_INVALID_NAME},
      {"rename onto another", [&] { return v.Rename("locked file.txt", "Full"); },
       ERROR_ALREADY_EXISTS},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.call(), c.code) << c.what;
  expect_clean_volume();
}

TEST_F(FatVolumeTest, AliasesNeverCollideWithNamesOrAliases) {
  // "X_Y~1.TXT" is taken as a name before x+y.txt wants it as an alias; the
  // others share a basis name; one alias is freed and taken again.
  const std::vector<std::string> names = {"X_Y~1.TXT", "x+y.txt", "a+b.txt", "a,b.txt",
                                          "a;b.txt",   "a=b.txt", "A[B].txt", "ab.txt"};
  for (const std::string &name : names)
    ASSERT_EQ(put(*volume, name, content(name, 100)), 0u) << name;
  ASSERT_EQ(volume->Delete("a,b.txt"), 0u);
  ASSERT_EQ(put(*volume, "a b.txt", content("a b.txt", 100)), 0u);

  std::vector<fat::DirEntry> entries;
  ASSERT_EQ(volume->List("", entries), 0u);
  std::map<std::string, std::string> owner; // short name -> name
  for (const fat::DirEntry &entry : entries) {
    EXPECT_TRUE(owner.emplace(entry.short_name, entry.name).second) << entry.short_name;
    EXPECT_TRUE(get(*volume, entry.short_name) == content(entry.name, 100)) << entry.short_name;
  }
  EXPECT_EQ(owner.size(), names.size());
  // A name that is an alias names the aliased file: truncating keeps its name.
  const std::string alias = std::find_if(entries.begin(), entries.end(), [](auto &e) {
                              return e.name == "a+b.txt";
                            })->short_name;
  ASSERT_EQ(put(*volume, alias, "new"), 0u);
  EXPECT_EQ(get(*volume, "a+b.txt"), "new");
  expect_clean_volume();
}

TEST_F(FatVolumeTest, RenameKeepsContentAndChildren) {
  ASSERT_EQ(volume->CreateFolder("old folder"), 0u);
  ASSERT_EQ(put(*volume, "old folder/inner.txt", "inner"), 0u);
  ASSERT_EQ(put(*volume, "a.txt", "bytes"), 0u);
  const struct {
    const char *from, *to, *check;
  } renames[] = {
      {"a.txt", "a much longer name.txt", "a much longer name.txt"},
      {"a much longer name.txt", "A MUCH LONGER NAME.TXT", "a much longer name.txt"},
      {"A MUCH LONGER NAME.TXT", "B.TXT", "b.txt"},
      {"old folder", "new folder \xE2\x9C\x93", "new folder \xE2\x9C\x93/inner.txt"},
  };
  for (const auto &r : renames) {
    fat::DirEntry before, after;
    ASSERT_EQ(volume->Find(r.from, before), 0u) << r.from;
    ASSERT_EQ(volume->Rename(r.from, r.to), 0u) << r.to;
    ASSERT_EQ(volume->Find(r.to, after), 0u) << r.to;
    EXPECT_EQ(after.name, r.to);
    EXPECT_EQ(after.first_cluster, before.first_cluster);
    EXPECT_EQ(after.size, before.size);
    EXPECT_FALSE(get(*volume, r.check).empty()) << r.check;
  }
  EXPECT_EQ(get(*volume, "b.txt"), "bytes");
  expect_clean_volume();
}

TEST_F(FatVolumeTest, Fat12FillsAcrossFatSectorsThenReusesTheGaps) {
  // One sector per cluster: about 4,000 12-bit entries over 12 FAT sectors.
  open_image("-F 12 -s 1 -r 16", 2048);
  std::map<std::string, std::string> kept;
  std::uint32_t error = 0;
  ASSERT_EQ(volume->CreateFolder("fill"), 0u);
  for (int i = 0; !error; ++i) {
    const std::string path = "fill/file " + std::to_string(i);
    const std::string bytes = content(path, 1 + i * 997 % 9000);
    if (!(error = put(*volume, path, bytes, 3000)))
      kept[path] = bytes;
    else
      EXPECT_EQ(volume->Delete(path), 0u);
  }
  EXPECT_EQ(error, ERROR_DISK_FULL);
  std::uint64_t free = 0;
  ASSERT_EQ(volume->FreeBytes(free), 0u);
  EXPECT_LT(free, 9000u);
  // Every other file goes; one file then fills the gaps they leave.
  bool drop = false;
  for (auto it = kept.begin(); it != kept.end(); drop = !drop)
    it = drop && volume->Delete(it->first) == 0 ? kept.erase(it) : std::next(it);
  ASSERT_EQ(volume->FreeBytes(free), 0u);
  kept["fill/gaps"] = content("gaps", free);
  ASSERT_EQ(put(*volume, "fill/gaps", kept["fill/gaps"], 65536), 0u);
  // The fixed root holds 16 entries (one of them the folder "fill").
  int in_root = 1;
  while (put(*volume, "R" + std::to_string(in_root), "") == 0)
    ++in_root;
  EXPECT_EQ(in_root, 16);
  EXPECT_EQ(put(*volume, "one more", ""), ERROR_DISK_FULL);
  expect_clean_volume();
  reopen();
  for (const auto &[path, bytes] : kept)
    EXPECT_TRUE(get(*volume, path) == bytes) << path;
}

TEST_F(FatVolumeTest, FreeCountStaysRightInFsInfoAndByCounting) {
  open_image("-F 32 -s 1", 40960);
  std::uint64_t before = 0, after = 0, counted = 0;
  ASSERT_EQ(volume->FreeBytes(before), 0u);
  ASSERT_EQ(volume->CreateFolder("f"), 0u);
  ASSERT_EQ(put(*volume, "f/data", content("data", 100000)), 0u);
  ASSERT_EQ(put(*volume, "gone", content("gone", 5000)), 0u);
  ASSERT_EQ(volume->Delete("gone"), 0u);
  ASSERT_EQ(volume->FreeBytes(after), 0u);
  const std::uint64_t cluster = volume->ClusterBytes(); // the folder's and the data's
  EXPECT_EQ(before - after, (1 + (100000 + cluster - 1) / cluster) * cluster);
  expect_clean_volume(); // fsck.fat compares FSInfo's count with the FAT

  volume.reset();
  const unsigned char unknown[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  ASSERT_EQ(io->Write(512 + 488, unknown, 4), 0u);
  reopen();
  ASSERT_EQ(volume->FreeBytes(counted), 0u);
  EXPECT_EQ(counted, after);
}

void walk(fat::FatVolume &volume, const std::string &folder, int depth) {
  std::vector<fat::DirEntry> entries;
  if (depth > 4 || volume.List(folder, entries))
    return;
  for (const fat::DirEntry &entry : entries) {
    const std::string path = folder.empty() ? entry.name : folder + "/" + entry.name;
    if (entry.folder()) {
      walk(volume, path, depth + 1);
    } else if (fat::FileReader reader; !volume.OpenFile(path, reader)) {
      char buffer[65536];
      std::size_t got = 0;
      for (int reads = 0; reads < 16 && !reader.Read(buffer, sizeof buffer, got) && got; ++reads) {
      }
    }
  }
}

using FatVolumeDamage = FatVolumeTest;

// Random bytes in the boot sector, the FATs and the folders of an image that
// holds a tree: whatever the library makes of it, it never reaches outside
// the range and never hangs. (fuzz/fuzz_fat_volume.cpp goes further, but
// only when fuzzing.)
TEST_F(FatVolumeDamage, RandomBytesNeverReachOutsideTheRange) {
  std::mt19937 random(20240601);
  for (auto [options, kib] : {std::pair("-F 12 -s 1", 2048), std::pair("-F 16 -s 1", 8192),
                              std::pair("-F 32 -s 1", 34816)}) {
    open_image(options, kib);
    for (const char *folder : {"a", "a/b b", "c"})
      ASSERT_EQ(volume->CreateFolder(folder), 0u);
    for (int i = 0; i < 30; ++i)
      ASSERT_EQ(put(*volume, (i % 2 ? "a/b b/file name " : "c/file name ") + std::to_string(i),
                    content(options, i * 1500)), 0u);
    volume.reset();
    // The metadata lies in the first MiB; it is laid anew for each round.
    constexpr std::size_t kMetadata = 1 << 20;
    std::vector<unsigned char> pristine(kMetadata);
    ASSERT_EQ(io->Read(0, pristine.data(), kMetadata), 0u);
    for (int round = 0; round < 60; ++round) {
      ASSERT_EQ(io->Write(0, pristine.data(), kMetadata), 0u);
      for (int hits = 1 + random() % 12; hits > 0; --hits) {
        const std::uint8_t byte = std::uint8_t(random());
        ASSERT_EQ(io->Write(random() % (hits % 3 ? kMetadata : 512), &byte, 1), 0u);
      }
      std::unique_ptr<fat::FatVolume> damaged;
      if (fat::FatVolume::Mount(*io, damaged))
        continue;
      walk(*damaged, "", 0);
      damaged->CreateFolder("c/new");
      put(*damaged, "a/b b/new file", std::string(3000, 'n'));
      damaged->Delete("c/file name 4");
      std::uint64_t free;
      damaged->FreeBytes(free);
      damaged->Flush();
      EXPECT_EQ(io->outside, 0) << options << " round " << round;
    }
  }
}

} // namespace
