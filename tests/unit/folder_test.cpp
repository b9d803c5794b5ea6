#include "pipeline/folder.h"
#include "strings/error.h"
#include "strings/res.h"
#include "unit/fault_file_system.h"
#include "unit/scratch.h"
#include "unit/test_platform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>

using namespace corvantix;
using platform::FileError;
namespace stdfs = std::filesystem;

namespace {

constexpr std::uint32_t kProtect = platform::kAttributeReadOnly |
                                   platform::kAttributeHidden |
                                   platform::kAttributeSystem;

class FolderTest : public ::testing::Test {
protected:
  void SetUp() override { Res::init_for("en-US"); }

  std::uint32_t attributes(const std::string &path) {
    return platform::native_file_system().attributes(path) & kProtect;
  }
  void set_attributes(const std::string &path, std::uint32_t bits) {
    platform::native_file_system().set_attributes(path, bits);
  }

  test::Scratch scratch;
  test::FaultFileSystem fs;
  platform::FileSystemOverride use{fs};
};

TEST_F(FolderTest, CopyKeepsRelativePathsWithOrWithoutTrailingSeparator) {
  scratch.write("src/sub/f.txt", "nested");
  scratch.write("src/top.txt", "top");
  scratch.write("src/noext", "no dot in the name");
  char separator = platform::native_file_system().join("a", "b")[1];
  for (std::string source : {scratch.path("src"), scratch.path("src") + separator}) {
    std::string dst = scratch.path(source.back() == separator ? "trailing" : "plain");
    stdfs::create_directory(dst);
    Folder(source).copy(dst);
    EXPECT_EQ(test::read_file(dst + "/sub/f.txt"), "nested") << source;
    EXPECT_EQ(test::read_file(dst + "/top.txt"), "top");
    EXPECT_EQ(test::read_file(dst + "/noext"), "no dot in the name");
    EXPECT_EQ(std::distance(stdfs::directory_iterator(dst),
                            stdfs::directory_iterator()), 3);
  }
}

TEST_F(FolderTest, EmptySourceCreatesNothingAndEmptySubfoldersAreReproduced) {
  stdfs::create_directories(scratch.path("empty"));
  Folder(scratch.path("empty")).copy(scratch.path("nowhere"));
  EXPECT_FALSE(stdfs::exists(scratch.path("nowhere")));

  stdfs::create_directories(scratch.path("src/a/b"));
  stdfs::create_directories(scratch.path("dst"));
  Folder(scratch.path("src")).copy(scratch.path("dst"));
  EXPECT_TRUE(stdfs::is_directory(scratch.path("dst/a/b")));
  EXPECT_TRUE(stdfs::is_empty(scratch.path("dst/a/b")));
}

TEST_F(FolderTest, EveryFolderIsMadeBeforeTheFirstFile) {
  scratch.write("src/1.txt", "1");
  scratch.write("src/a/2.txt", "2");
  scratch.write("src/a/b/3.txt", "3");
  scratch.write("src/z/4.txt", "4");
  stdfs::create_directories(scratch.path("dst"));
  Folder(scratch.path("src")).copy(scratch.path("dst"));
  std::size_t last_folder = 0, first_file = fs.calls.size();
  for (std::size_t i = 0; i < fs.calls.size(); ++i) {
    if (fs.calls[i].operation == "create_folders")
      last_folder = i;
    if (fs.calls[i].operation == "copy_file")
      first_file = std::min(first_file, i);
  }
  EXPECT_EQ(fs.count("create_folders"), 3u);
  EXPECT_EQ(fs.count("copy_file"), 4u);
  EXPECT_LT(last_folder, first_file);
  EXPECT_EQ(test::read_file(scratch.path("dst/a/b/3.txt")), "3");
}

TEST_F(FolderTest, ReplacesFilesButNotProtectedOnes) {
  scratch.write("src/f.txt", "new");
  scratch.write("dst/f.txt", "an older and longer text");
  Folder(scratch.path("src")).copy(scratch.path("dst"));
  EXPECT_EQ(test::read_file(scratch.path("dst/f.txt")), "new");

  if (test::under_wine())
    GTEST_SKIP() << "Wine replaces protected files when it runs as root";
  for (std::uint32_t protection :
       {platform::kAttributeReadOnly, platform::kAttributeHidden}) {
    scratch.write("src/f.txt", "newer");
    set_attributes(scratch.path("dst/f.txt"), protection);
    try {
      Folder(scratch.path("src")).copy(scratch.path("dst"));
      ADD_FAILURE() << "a protected destination was replaced";
    } catch (const FileError &e) {
      EXPECT_EQ(e.code(), 5u); // ERROR_ACCESS_DENIED
    }
    set_attributes(scratch.path("dst/f.txt"), platform::kAttributeNormal);
    EXPECT_EQ(test::read_file(scratch.path("dst/f.txt")), "new");
  }
}

TEST_F(FolderTest, CopiesKeepAttributesAndTimesAndRemoveDeletesThem) {
  std::string ro = scratch.write("src/ro.txt", "read-only");
  std::string hidden = scratch.write("src/sub/hidden.sys", "hidden system");
  auto when = stdfs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
  when = stdfs::file_time_type(std::chrono::duration_cast<std::chrono::seconds>(
      when.time_since_epoch()));
  stdfs::last_write_time(ro, when);
  stdfs::last_write_time(hidden, when);
  set_attributes(ro, platform::kAttributeReadOnly);
  set_attributes(hidden, platform::kAttributeHidden | platform::kAttributeSystem);
  set_attributes(scratch.path("src/sub"), platform::kAttributeReadOnly);
  stdfs::create_directories(scratch.path("backup"));

  Folder(scratch.path("src")).copy(scratch.path("backup"));
  EXPECT_EQ(attributes(scratch.path("backup/ro.txt")), platform::kAttributeReadOnly);
  EXPECT_EQ(attributes(scratch.path("backup/sub/hidden.sys")),
            platform::kAttributeHidden | platform::kAttributeSystem);
  EXPECT_EQ(stdfs::last_write_time(scratch.path("backup/ro.txt")), when);
  EXPECT_EQ(stdfs::last_write_time(scratch.path("backup/sub/hidden.sys")), when);
  EXPECT_EQ(test::read_file(scratch.path("backup/sub/hidden.sys")), "hidden system");

  set_attributes(scratch.path("backup/sub"), platform::kAttributeReadOnly);
  set_attributes(scratch.path("backup"), platform::kAttributeReadOnly);
  Folder(scratch.path("backup")).remove();
  EXPECT_FALSE(stdfs::exists(scratch.path("backup")));
  EXPECT_TRUE(stdfs::exists(ro));
}

// A copy that reads back as it was given passes; any difference in bytes,
// length, attributes or presence fails, naming the entry.
TEST_F(FolderTest, VerifyFindsEveryDifference) {
  const std::function<void(const std::string &)> damages[] = {
      nullptr,
      [](const std::string &d) { std::ofstream(d + "/sub/f.bin") << "nested!"; },
      [](const std::string &d) { std::ofstream(d + "/sub/f.bin") << "nestex"; },
      [&](const std::string &d) { set_attributes(d + "/top.txt", platform::kAttributeHidden); },
      [&](const std::string &d) { set_attributes(d + "/sub", platform::kAttributeSystem); },
      [](const std::string &d) { stdfs::remove(d + "/top.txt"); },
  };
  scratch.write("src/sub/f.bin", "nested");
  scratch.write("src/top.txt", std::string(3 << 20, 't')); // past one chunk
  int round = 0;
  for (const auto &damage : damages) {
    std::string dst = scratch.path("copy" + std::to_string(round++));
    stdfs::create_directories(dst);
    Folder(scratch.path("src")).copy(dst);
    if (damage)
      damage(dst);
    std::uint32_t code = 0;
    try {
      Folder(scratch.path("src")).verify(dst);
    } catch (const FileError &e) {
      code = e.code();
    }
    EXPECT_EQ(code, damage ? 1392u : 0u) << round; // ERROR_FILE_CORRUPT
  }
}

TEST_F(FolderTest, TheFirstFailureEndsTheCopyUnchanged) {
  for (const char *name : {"a.txt", "b.txt", "c.txt", "d.txt"})
    scratch.write(std::string("src/") + name, name);
  stdfs::create_directories(scratch.path("dst"));
  fs.fail("copy_file", 112, 1); // ERROR_DISK_FULL on the second file
  try {
    Folder(scratch.path("src")).copy(scratch.path("dst"));
    ADD_FAILURE() << "no failure";
  } catch (const FileError &e) {
    EXPECT_EQ(e.code(), 112u);
  }
  EXPECT_EQ(fs.count("copy_file"), 2u);
  EXPECT_EQ(std::distance(stdfs::directory_iterator(scratch.path("dst")),
                          stdfs::directory_iterator()),
            1);

  fs.fail("create_folders", 5);
  stdfs::create_directories(scratch.path("src/sub"));
  EXPECT_THROW(Folder(scratch.path("src")).copy(scratch.path("dst")), FileError);
  EXPECT_THROW(Folder(scratch.path("missing")).copy(scratch.path("dst")),
               FileError);
}

TEST_F(FolderTest, RemoveStopsAtTheFirstFailure) {
  scratch.write("doomed/f.txt", "x");
  fs.fail("delete_tree", 32); // ERROR_SHARING_VIOLATION
  EXPECT_THROW(Folder(scratch.path("doomed")).remove(), FileError);
  EXPECT_TRUE(stdfs::exists(scratch.path("doomed/f.txt")));
  EXPECT_THROW(Folder(scratch.path("never")).remove(), FileError);
}

TEST_F(FolderTest, EmptyCreateAndRelative) {
  Folder folder(scratch.path("x/y"));
  EXPECT_THROW(folder.empty(), FileError);
  folder.create();
  folder.create(); // an existing folder is no failure
  EXPECT_TRUE(folder.empty());
  stdfs::create_directory(scratch.path("x/y/inner"));
  EXPECT_FALSE(folder.empty());
  EXPECT_FALSE(Folder(scratch.path("x")).empty());
  EXPECT_TRUE(Folder(scratch.path("x/y/inner")).empty());
  scratch.write("x/y/inner/z.txt", "");
  EXPECT_FALSE(Folder(scratch.path("x/y/inner")).empty());

  auto data = folder.relative(3, "data");
  ASSERT_TRUE(data);
  EXPECT_EQ(data->path(), platform::native_file_system().join(folder.path(), "3_data"));
  EXPECT_FALSE(stdfs::exists(data->path()));
  EXPECT_EQ(folder.relative(-1, "x")->path(),
            platform::native_file_system().join(folder.path(), "-1_x"));
  EXPECT_FALSE(folder.relative(3, std::nullopt));
}

TEST_F(FolderTest, PathIsAbsolute) {
  Folder relative("some/where");
  EXPECT_TRUE(stdfs::path(relative.path()).is_absolute()) << relative.path();
  EXPECT_EQ(Folder(scratch.path("a")).path(), scratch.path("a"));
}

TEST_F(FolderTest, TemporaryFoldersAreFreshWithRandomShortNames) {
  fs.temp = scratch.path("temp");
  Folder first = Folder::create_temp("Corvantix");
  Folder second = Folder::create_temp("Corvantix");
  std::regex short_name("[a-z0-9]{8}\\.[a-z0-9]{3}");
  for (const Folder &folder : {first, second}) {
    std::string name = stdfs::path(folder.path()).filename().string();
    EXPECT_TRUE(std::regex_match(name, short_name)) << name;
    EXPECT_EQ(stdfs::path(folder.path()).parent_path(),
              stdfs::path(scratch.path("temp/Corvantix")));
    EXPECT_TRUE(folder.empty());
  }
  EXPECT_NE(first.path(), second.path());
}

TEST_F(FolderTest, TemporaryNameTakenIsDrawnAgain) {
  fs.temp = scratch.path("temp");
  // All zero bytes give "aaaaaaaa.aaa"; bytes of 252 and above would favour
  // the first letters and are skipped.
  std::vector<unsigned char> zeros(16, 0);
  std::vector<unsigned char> skewed = {255, 252, 1, 1, 1, 1, 1, 1, 1, 1,
                                       1,   35,  36, 71, 0, 0};
  stdfs::create_directories(scratch.path("temp"));
  std::string parent = fs.private_folder(scratch.path("temp/Corvantix"));
  stdfs::create_directories(stdfs::path(parent) / "aaaaaaaa.aaa");
  fs.random = {zeros, skewed};
  Folder folder = Folder::create_temp("Corvantix");
  EXPECT_EQ(stdfs::path(folder.path()).filename().string(), "bbbbbbbb.b9a");
  EXPECT_TRUE(folder.empty());
}

TEST_F(FolderTest, TemporaryFolderFailureIsWrapped) {
  fs.temp = scratch.path("temp");
  for (const char *operation : {"private_folder", "create_new_folder"}) {
    fs.fail(operation, 5);
    try {
      Folder::create_temp("Corvantix");
      ADD_FAILURE() << operation;
    } catch (const Error &e) {
      EXPECT_STREQ(e.what(), "Could not create temporary directory.");
      EXPECT_EQ(message_of(e.cause()),
                message_of(std::make_exception_ptr(FileError(5, ""))));
    }
  }
}

TEST(VolumeReadiness, TheSystemVolumeIsReadyAndAnUnusedLetterIsNot) {
  platform::FileSystem &fs = platform::native_file_system();
  std::string root = stdfs::temp_directory_path().root_path().string();
  EXPECT_TRUE(fs.volume_ready(root)) << root;
  EXPECT_FALSE(fs.volume_ready("Q:\\"));
}

} // namespace
