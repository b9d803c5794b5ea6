// A stick whose tree is deeper than MAX_PATH goes to the backup and back:
// raw_disk.sh maps a folder as the stick's volume E: and names its root
// here.
#include "pipeline/folder.h"
#include "platform/filesystem.h"
#include "platform/win32/text.h"
#include "strings/res.h"
#include "unit/scratch.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace corvantix {
namespace {

using win32::widen;

// Makes the folders of `deep` inside `root` and the file `name` at its end,
// through the \\?\ form that takes such paths on every Windows version.
void write_deep(const std::string &root, const std::string &deep,
                const std::string &name, const std::string &bytes) {
  std::wstring at = L"\\\\?\\" + widen(root);
  for (wchar_t c : widen(deep)) {
    if (c == L'\\') {
      ASSERT_TRUE(CreateDirectoryW(at.c_str(), nullptr)) << GetLastError();
    }
    at += c;
  }
  std::ofstream(std::filesystem::path(at + widen(name)), std::ios::binary) << bytes;
}

// The bytes of the file at a path of any length; empty when it is missing.
std::string read_deep(const std::string &path) {
  return test::read_file("\\\\?\\" + path);
}

// Every path reaches the file calls full and in the \\?\ form; names keep
// what the listing found, dots and spaces at their ends included.
TEST(Win32FilePath, PathsBecomeFullLongForms) {
  wchar_t cwd[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, cwd);
  std::wstring here = cwd;
  if (here.back() != L'\\')
    here += L'\\';
  std::string long_name(300, 'n');
  const struct {
    std::string path;
    std::wstring want;
  } cases[] = {
      {"C:\\a\\b", L"\\\\?\\C:\\a\\b"},
      {"E:\\", L"\\\\?\\E:\\"},
      {"C:/a/./b/../c", L"\\\\?\\C:\\a\\c"},
      {"E:\\ends in a space \\dot.", L"\\\\?\\E:\\ends in a space \\dot."},
      {"E:\\" + long_name, L"\\\\?\\E:\\" + widen(long_name)},
      {"\\\\server\\share\\x", L"\\\\?\\UNC\\server\\share\\x"},
      {"relative\\x", L"\\\\?\\" + here + L"relative\\x"},
      {"\\\\?\\C:\\as given", L"\\\\?\\C:\\as given"},
      {"\\\\.\\PhysicalDrive1", L"\\\\.\\PhysicalDrive1"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(win32::file_path(c.path), c.want) << c.path;
}

// A typed path is trimmed as the system's own path rules trim it, which
// the \\?\ form skips: what GetFullPathNameW makes of it.
TEST(Win32FilePath, TypedPathsAreTrimmedAsTheSystemTrimsThem) {
  const struct {
    std::string typed, want;
  } cases[] = {
      {"C:\\data ", "C:\\data"},
      {"C:\\data.", "C:\\data"},
      {"C:\\data . . ", "C:\\data"},
      {"C:\\old.\\data", "C:\\old\\data"},
      {"C:\\ends in a space \\data", "C:\\ends in a space \\data"},
      {"C:\\data \\", "C:\\data \\"},
      {"\\\\server\\share\\data.", "\\\\server\\share\\data"},
  };
  for (const auto &c : cases) {
    std::string typed = platform::file_system().typed_path(c.typed);
    EXPECT_EQ(typed, c.want) << c.typed;
    EXPECT_EQ(win32::narrow(win32::full_path(widen(c.typed))), c.want)
        << "the system reads " << c.typed << " otherwise";
    EXPECT_EQ(win32::file_path(typed),
              win32::file_path(win32::narrow(win32::full_path(widen(c.typed)))))
        << c.typed;
  }
}

TEST(Win32StickVolume, ATreeDeeperThanMaxPathGoesToTheBackupAndBack) {
  const char *root = std::getenv("CORVANTIX_STICK_ROOT");
  if (!root)
    GTEST_SKIP() << "needs the stick volume of raw_disk.sh";
  Res::init_for("en-US");
  std::string stick = root, top = "a tree past MAX_PATH";
  std::string deep = top + "\\";
  for (int level = 0; level < 10; ++level)
    deep += "folder " + std::to_string(level) + " of a deep tree\\";
  std::string file = deep + "the deepest file.txt";
  ASSERT_GT((stick + file).size(), std::size_t(MAX_PATH));
  write_deep(stick, deep, "the deepest file.txt", "deep");

  test::Scratch scratch;
  Folder backup(scratch.path("backup"));
  backup.create();
  Folder(stick).copy(backup.path());
  Folder(stick).verify(backup.path());
  EXPECT_EQ(read_deep(backup.path() + "\\" + file), "deep");

  // The format empties the stick; the restore puts the tree back.
  Folder(stick + top).remove();
  ASSERT_EQ(read_deep(stick + file), "");
  backup.copy(stick);
  backup.verify(stick);
  EXPECT_EQ(read_deep(stick + file), "deep");
  backup.remove();
  EXPECT_FALSE(std::filesystem::exists(backup.path()));
}

// Windows' own folder in the stick's root is not the user's: the backup
// leaves it out and the read-back does not look for it; a folder of that
// name further down is the user's.
TEST(Win32StickVolume, WindowsOwnFolderStaysOutOfTheBackup) {
  const char *root = std::getenv("CORVANTIX_STICK_ROOT");
  if (!root)
    GTEST_SKIP() << "needs the stick volume of raw_disk.sh";
  Res::init_for("en-US");
  std::string stick = root, own = stick + "System Volume Information";
  ASSERT_TRUE(CreateDirectoryW(widen(own).c_str(), nullptr));
  write_deep(own + "\\", "", "IndexerVolumeGuid", "{guid}");
  ASSERT_TRUE(SetFileAttributesW(widen(own).c_str(),
                                 FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  write_deep(stick, "docs\\System Volume Information\\", "keep.txt", "mine");

  test::Scratch scratch;
  Folder backup(scratch.path("backup"));
  backup.create();
  Folder(stick).copy(backup.path());
  Folder(stick).verify(backup.path());
  backup.verify(stick);
  EXPECT_FALSE(std::filesystem::exists(backup.path() + "\\System Volume Information"));
  EXPECT_EQ(read_deep(backup.path() + "\\docs\\System Volume Information\\keep.txt"),
            "mine");
  Folder(stick + "docs").remove();
  Folder(own).remove();
  backup.remove();
}

} // namespace
} // namespace corvantix
