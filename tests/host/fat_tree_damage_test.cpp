// A walk over a damaged folder tree ends with ERROR_FILE_CORRUPT naming
// the folder where the damage shows, in bounded memory: each row lays one
// kind of damage on a tree that the FAT library made.
#include "disk/fat/tree.h"
#include "disk/fat/volume.h"
#include "platform/host/machine/image_range.h"
#include "platform/win32api.h"
#include "unit/scratch.h"

#include "fat_damage.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>

#include <functional>
#include <map>

namespace fat_tree_damage {

namespace fat = corvantix::fat;
using corvantix::test::FatDamage;
using corvantix::test::Scratch;
using Clusters = std::map<std::string, std::uint32_t>; // folder -> first cluster

struct Row {
  const char *id;
  std::function<void(FatDamage &, const Clusters &)> damage;
  const char *where;
};

// 16 MiB of 512-byte clusters: FAT16, with room for a chain past 2 MiB.
const char *const kOptions = "-F 16 -s 1";
constexpr int kKib = 16384;
constexpr std::uint32_t kFree = 20000; // far beyond what the tree takes

const Row kRows[] = {
    {"LoopToAncestor", [](FatDamage &d, const Clusters &c) {
       d.point(c.at("top/mid"), "LOW        ", c.at("top"));
     }, "top/mid/low"},
    {"LoopToItself", [](FatDamage &d, const Clusters &c) {
       d.point(c.at("top/mid/low"), "SELF       ", c.at("top/mid/low"));
     }, "top/mid/low/self"},
    {"LoopToRoot", [](FatDamage &d, const Clusters &c) {
       d.point(c.at("top/mid"), "LOW        ", 0);
     }, "top/mid/low"},
    {"CrossLinkedFolders", [](FatDamage &d, const Clusters &c) {
       d.point(0, "SIDE       ", c.at("top/mid"));
     }, "side"},
    {"ChainThatLoops", [](FatDamage &d, const Clusters &c) {
       d.link(c.at("top/mid/low"), c.at("top/mid/low"));
     }, "top/mid/low"},
    {"ChainPastTwoMiB", [](FatDamage &d, const Clusters &c) {
       d.link(c.at("top/mid/low"), kFree);
       for (std::uint32_t at = kFree; at < kFree + 4200; ++at)
         d.link(at, at + 1);
       d.link(kFree + 4200, 0xFFFF);
     }, "top/mid/low"},
    {"ClusterOutOfRange", [](FatDamage &d, const Clusters &c) {
       d.point(c.at("top/mid"), "LOW        ", 0xFFF0);
     }, "top/mid/low"},
    {"LinkOutOfRange", [](FatDamage &d, const Clusters &c) {
       d.link(c.at("top/mid/low"), 0xFFF0);
     }, "top/mid/low"},
    {"LinkToAFreeCluster", [](FatDamage &d, const Clusters &c) {
       d.link(c.at("top/mid/low"), kFree);
     }, "top/mid/low"},
};

// A tree with a file in each folder; the first cluster of each folder.
Clusters make_tree(const std::string &image) {
  corvantix::emulation::ImageRange range(image, 0, std::filesystem::file_size(image));
  std::unique_ptr<fat::FatVolume> volume;
  EXPECT_EQ(fat::FatVolume::Mount(range, volume), 0u);
  Clusters clusters;
  for (const char *folder : {"top", "top/mid", "top/mid/low", "top/mid/low/self", "side"}) {
    EXPECT_EQ(volume->CreateFolder(folder), 0u) << folder;
    fat::FileWriter writer;
    EXPECT_EQ(volume->CreateOrTruncate(std::string(folder) + "/file.txt", 0, {}, writer), 0u);
    EXPECT_EQ(writer.Write("bytes", 5), 0u);
    EXPECT_EQ(writer.Close(), 0u);
    fat::DirEntry entry;
    EXPECT_EQ(volume->Find(folder, entry), 0u);
    clusters[folder] = entry.first_cluster;
  }
  EXPECT_EQ(volume->Flush(), 0u);
  return clusters;
}

// Walks the tree in a child whose address space is capped, so that a walk
// without bounds fails there; "code where" of the walk, or how it died.
std::string walk_bounded(const std::string &image) {
  int out[2];
  EXPECT_EQ(pipe(out), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(out[0]);
#ifndef __SANITIZE_ADDRESS__ // whose shadow memory needs terabytes of address space
    const rlimit cap{1u << 30, 1u << 30};
    setrlimit(RLIMIT_AS, &cap);
#endif
    corvantix::emulation::ImageRange range(image, 0, std::filesystem::file_size(image));
    std::unique_ptr<fat::FatVolume> volume;
    std::string where;
    std::uint32_t code = fat::FatVolume::Mount(range, volume);
    if (!code)
      code = fat::WalkTree(*volume, "", [](const std::string &, const fat::DirEntry &) { return 0u; },
                           where);
    const std::string result = std::to_string(code) + " " + where;
    _exit(write(out[1], result.data(), result.size()) == ssize_t(result.size()) ? 0 : 1);
  }
  close(out[1]);
  std::string result;
  char buffer[256];
  for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) > 0;)
    result.append(buffer, std::size_t(got));
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? result
                                                         : "died " + std::to_string(status);
}

TEST(FatTreeDamage, EveryDamageEndsTheWalkNamingTheFolder) {
  for (const Row &row : kRows) {
    Scratch scratch;
    const std::string image = scratch.path("damaged.img");
    ASSERT_EQ(std::system(("mkfs.fat -C " + std::string(kOptions) + " " + image + " " +
                           std::to_string(kKib) + " >/dev/null")
                              .c_str()),
              0);
    const Clusters clusters = make_tree(image);
    EXPECT_EQ(walk_bounded(image), "0 ") << row.id << ": the sound tree";
    {
      FatDamage damage(image, 0);
      row.damage(damage, clusters);
    }
    EXPECT_EQ(walk_bounded(image), std::to_string(ERROR_FILE_CORRUPT) + " " + row.where)
        << row.id;
  }
}

} // namespace fat_tree_damage
