// Whole runs with backup on sticks holding what Windows lets a user make and
// mtools cannot write: names that are another entry's short alias, brackets,
// names outside the BMP, decomposed accents, 255-unit names, a leading
// space, folders with attributes. The FAT library puts them on the stick;
// an outside judge (tests/tools/fat_tree.py) reads the stick before and
// after, and the run must leave every entry under its exact UTF-16 name
// with its bytes and attributes, beside the FreeDOS files and nothing else.
// Copy folders holding what is no file, temporary folders that are not the
// user's own and backups that fail close the set. Each run is a child
// process with a time limit, so that a hang fails its test.
#include "disk/fat/volume.h"
#include "platform/host/machine/image_range.h"
#include "platform/filesystem.h"
#include "platform/resources.h"

#include "fat_damage.h"
#include "whole_run.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <functional>
#include <optional>
#include <set>

namespace corvantix::hostile {
namespace {

namespace fs = std::filesystem;
using Path = std::vector<std::u16string>;
using Texts = std::vector<std::string>;

constexpr int kSeconds = 60; // a run takes about one
const Texts kSuccess = {"Format Successful!"};
const std::optional<std::string> kFolder;

// The judge's JSON: arrays, objects, strings and whole numbers.
struct Json {
  std::vector<Json> items;
  std::map<std::string, Json> fields;
  std::string text;
  long long number = 0;
};

Json parse(const char *&at) {
  auto skip = [&] { while (*at && std::strchr(" ,:\n", *at)) ++at; };
  Json value;
  skip();
  if (*at == '[' || *at == '{') {
    for (char close = *at++ == '[' ? ']' : '}'; skip(), *at && *at != close;)
      if (close == ']')
        value.items.push_back(parse(at));
      else {
        std::string key = parse(at).text; // before the value, which follows it
        value.fields[key] = parse(at);
      }
  } else if (*at == '"') {
    for (++at; *at && *at != '"'; ++at)
      if (at[0] == '\\' && at[1] == 'u')
        value.text += char(std::stoi(std::string(at + 2, 4), nullptr, 16)), at += 5;
      else
        value.text += *at == '\\' ? *++at : *at;
  } else {
    return {{}, {}, {}, std::strtoll(at, const_cast<char **>(&at), 10)};
  }
  at += *at != 0;
  return value;
}

/// An entry as the user sees it: where, read-only/hidden/system/folder
/// bits, size and bytes. Short aliases may change and are no part of it.
struct Entry {
  Path path;
  int bits;
  long long size;
  std::string sha256;
  auto operator<=>(const Entry &) const = default;
};
using Entries = std::set<Entry>;

struct Judged {
  int status;
  std::string faults;
  Entries entries;
  std::map<Path, std::string> aliases;
};

std::string shown(const Path &path) {
  std::string text;
  for (const auto &name : path)
    text += (text.empty() ? "" : "/") + fat::utf8_of(name);
  return text;
}

/// What is in one set and not in the other, one entry a line.
std::string differences(const Entries &expected, const Entries &got) {
  std::string text;
  for (auto [from, to, label] : {std::tuple(&expected, &got, "missing: "),
                                 std::tuple(&got, &expected, "unexpected: ")})
    for (const Entry &entry : *from)
      if (!to->count(entry))
        text += label + shown(entry.path) + " bits " + std::to_string(entry.bits) +
                " size " + std::to_string(entry.size) + "\n";
  return text;
}

/// A row of a table names its test.
const auto kRowName = [](const auto &info) { return std::string(info.param.id); };

/// An entry a test puts on the stick: a file with its bytes, or a folder.
struct Item {
  std::u16string path;
  std::optional<std::string> bytes;
  std::uint8_t attributes = 0;
  std::u16string alias = u""; ///< the short alias it must end up with
};

class HostileStick : public test::WholeRun {
protected:
  /// The first partition's offset and length, from the MBR.
  std::pair<std::uint64_t, std::uint64_t> partition() const {
    std::uint32_t first[2] = {};
    std::ifstream in(image, std::ios::binary);
    in.seekg(454).read(reinterpret_cast<char *>(first), 8);
    return {std::uint64_t(first[0]) * 512, std::uint64_t(first[1]) * 512};
  }

  /// Puts `items` on the stick with the FAT library, in order. A name that
  /// opens another entry as its short alias is made while that entry is
  /// moved aside, as Windows lets a user do.
  void put(const std::vector<Item> &items) {
    emulation::Machine::install(nullptr);
    auto [offset, length] = partition();
    emulation::ImageRange range(image.string(), offset, length);
    std::unique_ptr<fat::FatVolume> volume;
    ASSERT_EQ(fat::FatVolume::Mount(range, volume), 0u);
    for (const Item &item : items) {
      std::string path = fat::utf8_of(item.path), folder, leaf = path;
      for (std::size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1))
        volume->CreateFolder(folder = path.substr(0, at));
      if (!folder.empty())
        folder += '/', leaf = path.substr(folder.size());
      fat::DirEntry held;
      bool aside = volume->Find(path, held) == 0 && held.name != leaf;
      if (aside) {
        ASSERT_EQ(volume->Rename(folder + held.name, "aside.tmp"), 0u) << path;
      }
      if (fat::FileWriter writer; item.bytes) {
        ASSERT_EQ(volume->CreateOrTruncate(path, item.attributes | fat::kArchive, {}, writer), 0u);
        ASSERT_EQ(writer.Write(item.bytes->data(), item.bytes->size()), 0u) << path;
        ASSERT_EQ(writer.Close(), 0u) << path;
      } else if (std::uint32_t made = volume->CreateFolder(path); made && made != 183) {
        FAIL() << path << ": " << made; // 183: ERROR_ALREADY_EXISTS
      } else if (item.attributes) {
        ASSERT_EQ(volume->SetAttributes(path, item.attributes), 0u) << path;
      }
      if (aside) {
        ASSERT_EQ(volume->Rename(folder + "aside.tmp", held.name), 0u) << path;
      }
    }
    ASSERT_EQ(volume->Flush(), 0u);
  }

  /// The stick as the outside judge reads it.
  Judged judge() const {
    auto read = emulation::run_tool({"python3", CORVANTIX_SOURCE_DIR "/tests/tools/fat_tree.py",
                                     image.string(), std::to_string(partition().first)});
    Judged judged{read.status, read.err, {}, {}};
    const char *at = read.out.c_str();
    for (const Json &item : parse(at).items) {
      Path path;
      for (const Json &name : item.fields.at("path").items) {
        path.emplace_back();
        for (const Json &unit : name.items)
          path.back().push_back(char16_t(unit.number));
      }
      judged.aliases[path] = item.fields.at("short").text;
      auto sha = item.fields.find("sha256");
      judged.entries.insert({path, int(item.fields.at("attr").number & 0x17),
                             item.fields.at("size").number,
                             sha == item.fields.end() ? "" : sha->second.text});
    }
    return judged;
  }

  /// A shop stick with the user's files and `items` on it, as the judge
  /// sees it.
  Judged stick_with(const std::vector<Item> &items = {}) {
    make_stick(40 << 20);
    put(items);
    Judged before = judge();
    EXPECT_EQ(before.status, 0) << before.faults;
    return before;
  }

  /// Starts the program with `args` in a child process (`prepare` runs
  /// there first) and returns the texts it showed; a child that outlives
  /// the time limit is killed and fails the test.
  Texts run_guarded(const Texts &args, const std::function<void()> &prepare = {}) {
    emulation::Machine::install(nullptr);
    fs::path texts = folder_.path() / "texts";
    pid_t child = fork();
    if (child == 0) {
      install({stick("stick", 'E', emulation::NodeBehaviour::Normal, 40 << 20, true)});
      if (prepare)
        prepare();
      run(args);
      std::ofstream out(texts, std::ios::binary); // far below any file size limit
      for (const std::string &text : results())
        out << text << '\0';
      _exit(out.flush() ? 0 : 3);
    }
    int status = 0;
    for (int waited = 0; waitpid(child, &status, WNOHANG) == 0; ++waited, usleep(50000))
      if (waited == kSeconds * 20) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        ADD_FAILURE() << "the run hung for " << kSeconds << " s and was killed";
        return {"(hung)"};
      }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the run died: " << status;
    Texts shown;
    std::istringstream all(test::slurp(texts));
    for (std::string text; std::getline(all, text, '\0');)
      shown.push_back(text);
    return shown;
  }

  /// The judge finds the stick sound, holding exactly `expected`.
  void expect_stick(const Entries &expected) {
    Judged after = judge();
    EXPECT_EQ(after.status, 0) << "the judge found:\n" << after.faults;
    EXPECT_TRUE(after.entries == expected) << differences(expected, after.entries);
  }

  /// Of bytes in a file of the test's own, outside the folder under test.
  std::string sha256_of(const std::string &bytes) const {
    fs::path file = folder_.path() / "sha";
    std::ofstream(file, std::ios::binary) << bytes;
    return emulation::run_tool({"sha256sum", file.string()}).out.substr(0, 64);
  }

  /// `before`, the FreeDOS files as the run must write them, and `extra`.
  Entries restored(const Judged &before, Entries extra = {}) const {
    extra.insert(before.entries.begin(), before.entries.end());
    for (const char *name :
         {"KERNEL.SYS", "COMMAND.COM", "CONFIG.SYS", "AUTOEXEC.BAT", "ThirdPartyLicenses.txt"}) {
      std::string bytes{std::istreambuf_iterator<char>(*platform::open_resource(name)), {}};
      extra.insert({{std::u16string(name, name + std::strlen(name))}, 0,
                    (long long)bytes.size(), sha256_of(bytes)});
    }
    return extra;
  }

  fs::path own_temp() const { return temp / ("Corvantix-" + std::to_string(geteuid())); }

  /// Everything left in the temporary folders a backup may go to.
  std::vector<fs::path> leftovers() {
    std::vector<fs::path> found = backups();
    std::error_code error;
    for (fs::directory_iterator it(own_temp(), error), end; !error && it != end; ++it)
      found.push_back(it->path());
    return found;
  }
};

struct NameCase {
  const char *id;
  std::vector<Item> items;
};
class HostileNames : public HostileStick, public ::testing::WithParamInterface<NameCase> {};

INSTANTIATE_TEST_SUITE_P(
    HostileStick, HostileNames,
    ::testing::Values(
        NameCase{"ShortAliases",
                 {{u"1LONGN~1.TXT", "short first"},
                  {u"1 long name.txt", "long second", 0, u"1LONGN~2.TXT"},
                  {u"B/1 long name.txt", "long first", 0, u"1LONGN~2.TXT"},
                  {u"B/1LONGN~1.TXT", "short second"}, {u"THIRDP~1.TXT", "the user's own"},
                  {u"1MYFIL~1", kFolder}, {u"1MYFIL~1/INSIDE.TXT", "in the folder"},
                  {u"1 my file", "beside the folder", 0, u"1MYFIL~2"}}},
        NameCase{"Brackets", {{u"d1/SAME.TXT", "plain"}, {u"d[1]/SAME.TXT", "bracketed"},
                              {u"a[1].txt", "hidden", fat::kHidden}, {u"a1.txt", "plain"},
                              {u"[x].txt", "x", fat::kHidden}}},
        NameCase{"OutsideTheBmp", {{u"a\U0001F389.txt", "one"}, {u"a\U0001F388.txt", "two"},
                                   {u"party \U0001F389.txt", "party"}}},
        NameCase{"DecomposedAccent", {{u"cafe\u0301.txt", "decomposed"}, {u"cafe.txt", "plain"},
                                      {u"caf\u00e9.txt", "precomposed"}}},
        NameCase{"FolderAttributes",
                 {{u"RO/FILE.TXT", "read-only"}, {u"Hidden Folder/f.txt", "hidden"},
                  {u"SYS/FILE.TXT", "system"}, {u"RO", kFolder, fat::kReadOnly},
                  {u"Hidden Folder", kFolder, fat::kHidden}, {u"SYS", kFolder, fat::kSystem}}},
        NameCase{"NamesOf255Units",
                 {{std::u16string(251, u'n') + u".txt", "255 units"},
                  {std::u16string(255, u'F') + u"/inside.txt", "in a folder of 255"},
                  {u"other.txt", "other"}, {u"OTHER.BIN", "another"}}},
        NameCase{"LeadingSpace", {{u" lead.txt", "space first"}, {u"lead.txt", "plain"}}}),
    kRowName);

TEST_P(HostileNames, EveryEntryComesBackUnderItsOwnName) {
  Judged before = stick_with(GetParam().items);
  ASSERT_EQ(before.status, 0);
  for (const Item &item : GetParam().items) {
    Path path(1);
    for (char16_t unit : item.path)
      unit == u'/' ? (void)path.emplace_back() : path.back().push_back(unit);
    Entry entry{path, item.attributes | (item.bytes ? 0 : fat::kDirectory),
                item.bytes ? (long long)item.bytes->size() : 0,
                item.bytes ? sha256_of(*item.bytes) : ""};
    EXPECT_TRUE(before.entries.count(entry)) << shown(path) << " was not put";
    if (!item.alias.empty()) {
      EXPECT_EQ(before.aliases[path], fat::utf8_of(item.alias)) << shown(path);
    }
  }
  EXPECT_EQ(run_guarded({"-s", "E"}), kSuccess);
  expect_stick(restored(before));
  EXPECT_EQ(leftovers(), std::vector<fs::path>{}) << "no backup is left";
}

/// A row of the tables below: a shell command that makes what the row is
/// about, in the folder it is given, and a flag of the row's table.
struct Row {
  const char *id, *make;
  bool flag;
};
class HostileRows : public HostileStick, public ::testing::WithParamInterface<Row> {
protected:
  void make(const fs::path &in) {
    auto made = emulation::run_tool({"sh", "-c", std::string("cd '") + in.c_str() + "' && " +
                                                     GetParam().make});
    ASSERT_TRUE(made.ok()) << GetParam().make << ": " << made.err;
  }
};

class HostileCopyFolders : public HostileRows {}; // flag: copied
INSTANTIATE_TEST_SUITE_P(
    HostileStick, HostileCopyFolders,
    ::testing::Values(
        Row{"Fifo", "mkfifo pipe", false},
        Row{"DeviceNode", "mknod null c $(stat -c '0x%t 0x%T' /dev/null)", false},
        Row{"LinkWithinTheFolder", "ln -s GOOD.TXT link.txt", true}),
    kRowName);

TEST_P(HostileCopyFolders, CopyOnlyFilesAndFolders) {
  if (std::string(GetParam().make).find("mknod") == 0 && geteuid() != 0)
    GTEST_SKIP() << "making a device node needs root";
  Judged before = stick_with();
  fs::path extra = folder_.path() / "extra";
  fs::create_directories(extra / "SUB");
  std::ofstream(extra / "GOOD.TXT") << "good";
  std::ofstream(extra / "SUB" / "DEEP.TXT") << "deep";
  ASSERT_NO_FATAL_FAILURE(make(extra));

  Texts texts = run_guarded({"-s", "E", "-c", extra.string()});
  if (!GetParam().flag) {
    EXPECT_EQ(texts, Texts{"Could not copy the files from '" + extra.string() +
                           "' to the device."});
    return expect_stick(restored(before));
  }
  EXPECT_EQ(texts, kSuccess);
  std::string good = sha256_of("good");
  expect_stick(restored(before, {{{u"GOOD.TXT"}, 0, 4, good}, {{u"link.txt"}, 0, 4, good},
                                 {{u"SUB"}, fat::kDirectory, 0, ""},
                                 {{u"SUB", u"DEEP.TXT"}, 0, 4, sha256_of("deep")}}));
}

class HostileTempFolders : public HostileRows {}; // flag: a backup can be kept
INSTANTIATE_TEST_SUITE_P(
    HostileStick, HostileTempFolders,
    ::testing::Values(
        Row{"AnotherUsersFolder", "mkdir Corvantix && chown 65534 Corvantix", true},
        Row{"WritableByAll", "mkdir -m 0777 Corvantix", true},
        Row{"ALinkInItsPlace", "mkdir elsewhere && ln -s elsewhere Corvantix", true},
        Row{"BothTaken", "mkdir Corvantix Corvantix-$(id -u) && chown 65534 Corvantix*", false}),
    kRowName);

// What another user holds is neither written nor changed: the times of
// the folders that were there stay as they were.
TEST_P(HostileTempFolders, TheBackupStaysInAFolderOfTheUsersOwn) {
  if (std::string(GetParam().make).find("chown") != std::string::npos && geteuid() != 0)
    GTEST_SKIP() << "giving a folder to another user needs root";
  Judged before = stick_with();
  ASSERT_NO_FATAL_FAILURE(make(temp));
  std::map<fs::path, fs::file_time_type> times; // to the nanosecond
  for (const auto &entry : fs::directory_iterator(temp))
    times[entry.path()] = fs::last_write_time(entry.path());

  Texts texts = run_guarded({"-s", "E"});
  for (const auto &[folder, time] : times)
    EXPECT_EQ(fs::last_write_time(folder), time) << folder << " was written";
  if (!GetParam().flag) {
    EXPECT_EQ(texts, Texts{"Could not create temporary directory."});
    return expect_stick(before.entries);
  }
  EXPECT_EQ(texts, kSuccess);
  expect_stick(restored(before));
  struct stat own {};
  ASSERT_EQ(lstat(own_temp().c_str(), &own), 0) << "the backup went elsewhere";
  EXPECT_TRUE(S_ISDIR(own.st_mode) && own.st_uid == geteuid() && (own.st_mode & 077) == 0);
  EXPECT_EQ(leftovers(), std::vector<fs::path>{});
}

// The copy to the backup fails midway, at a file size limit or in a full
// temporary folder: the stick is left as it was, and the message and the
// folders left agree: a partial backup is removed, or the message names it.
class HostileBackupFaults : public HostileRows {}; // flag: needs root
INSTANTIATE_TEST_SUITE_P(HostileStick, HostileBackupFaults,
                         ::testing::Values(Row{"FileSizeLimit", "", false},
                                           Row{"TemporaryFolderFull", "", true}),
                         kRowName);

TEST_P(HostileBackupFaults, AFailedBackupLeavesNothingUnnamed) {
  bool tmpfs = GetParam().flag;
  if (tmpfs && geteuid() != 0)
    GTEST_SKIP() << "mounting a small file system needs root";
  Judged before =
      stick_with({{u"Große Datei.bin", std::string(1 << 20, 'g')}, {u"small.txt", "small"}});
  if (tmpfs && ::mount("none", temp.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0)
    GTEST_SKIP() << "no tmpfs could be mounted";
  struct Unmount {
    const fs::path *at;
    ~Unmount() { at && ::umount(at->c_str()); }
  } unmount{tmpfs ? &temp : nullptr};
  Texts texts = run_guarded({"-s", "E"}, [tmpfs] {
    struct rlimit limit {};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = tmpfs ? limit.rlim_cur : 64 << 10;
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limit);
  });

  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].rfind("Could not create backup.", 0), 0u) << texts[0];
  std::size_t named = texts[0].find(" left at '"), from = named + 10;
  std::vector<fs::path> left = leftovers();
  if (named == std::string::npos)
    EXPECT_EQ(left, std::vector<fs::path>{}) << "a backup is left, unnamed";
  else
    EXPECT_EQ(left, std::vector<fs::path>{texts[0].substr(from, texts[0].find('\'', from) - from)});
  expect_stick(before.entries);
}

// A folder whose entry points back at the folder holding it: the backup
// fails at once, the stick stays byte for byte as it was, no partial backup
// is left, and the failure names the folder where the loop shows.
TEST_F(HostileStick, ADirectoryLoopFailsTheBackupAndLeavesTheStickAlone) {
  stick_with({{u"Loop/Inner/deep.txt", "deep"}, {u"plain.txt", "plain"}});
  emulation::Machine::install(nullptr);
  auto [offset, length] = partition();
  fat::DirEntry loop;
  {
    emulation::ImageRange range(image.string(), offset, length);
    std::unique_ptr<fat::FatVolume> volume;
    ASSERT_EQ(fat::FatVolume::Mount(range, volume), 0u);
    ASSERT_EQ(volume->Find("Loop", loop), 0u);
  }
  test::FatDamage(image.string(), offset).point(loop.first_cluster, "INNER      ",
                                                loop.first_cluster);
  const std::string before = test::slurp(image);

  Texts texts = run_guarded({"-s", "E"});
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].rfind("Could not create backup.", 0), 0u) << texts[0];
  // The message names the damaged folder, once.
  std::size_t named = texts[0].find("E:\\Loop\\Inner");
  EXPECT_NE(named, std::string::npos) << texts[0];
  EXPECT_EQ(texts[0].find("E:\\Loop\\Inner", named + 1), std::string::npos) << texts[0];
  EXPECT_TRUE(test::slurp(image) == before) << "the stick was changed";
  EXPECT_EQ(leftovers(), std::vector<fs::path>{}) << "no backup is left";
  // What the backup's copy met, as the file system tells it.
  install({stick("stick", 'E', emulation::NodeBehaviour::Normal, 40 << 20, true)});
  try {
    platform::file_system().list_tree("E:\\");
    ADD_FAILURE() << "the loop was walked";
  } catch (const platform::FileError &e) {
    EXPECT_EQ(e.code(), std::uint32_t(ERROR_FILE_CORRUPT));
    EXPECT_EQ(e.path(), "E:\\Loop\\Inner");
    EXPECT_NE(std::string(e.what()).find("E:\\Loop\\Inner"), std::string::npos) << e.what();
  }
}

} // namespace
} // namespace corvantix::hostile
