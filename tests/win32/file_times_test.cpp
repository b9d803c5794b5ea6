// A copied tree keeps the times Windows shows: each file's creation and
// write time, and each folder's, set after its contents were written.
#include "platform/filesystem.h"
#include "platform/win32/text.h"
#include "unit/scratch.h"
#include "unit/test_platform.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace corvantix {
namespace {

using win32::widen;

FILETIME at(WORD year, WORD month, WORD day, WORD milliseconds = 0) {
  SYSTEMTIME time{year, month, 0, day, 10, 20, 30, milliseconds};
  FILETIME file_time{};
  SystemTimeToFileTime(&time, &file_time);
  return file_time;
}

struct Times {
  FILETIME created, written;
};

void set_times(const std::string &path, const Times &times) {
  HANDLE handle = CreateFileW(widen(path).c_str(), FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                              nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE) << path;
  EXPECT_TRUE(SetFileTime(handle, &times.created, nullptr, &times.written));
  CloseHandle(handle);
}

Times times_of(const std::string &path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  EXPECT_TRUE(GetFileAttributesExW(widen(path).c_str(), GetFileExInfoStandard,
                                   &data))
      << path;
  return {data.ftCreationTime, data.ftLastWriteTime};
}

bool operator==(const FILETIME &a, const FILETIME &b) {
  return CompareFileTime(&a, &b) == 0;
}

TEST(Win32FileTimes, ACopiedTreeKeepsCreationAndFolderTimes) {
  test::Scratch scratch;
  scratch.write("from/sub/deeper/f.txt", "file");
  scratch.write("from/g.txt", "another");
  const struct {
    const char *path;
    Times times;
  } entries[] = {
      {"from\\sub\\deeper\\f.txt", {at(2001, 2, 3, 450), at(2002, 3, 4)}},
      {"from\\g.txt", {at(1999, 12, 31, 990), at(2000, 1, 1)}},
      {"from\\sub\\deeper", {at(2003, 4, 5), at(2004, 5, 6)}},
      {"from\\sub", {at(2005, 6, 7), at(2006, 7, 8)}},
  };
  for (const auto &entry : entries)
    set_times(scratch.path(entry.path), entry.times);
  CreateDirectoryW(widen(scratch.path("to")).c_str(), nullptr);
  platform::native_file_system().copy_tree(scratch.path("from"),
                                           scratch.path("to"));
  for (const auto &entry : entries) {
    std::string copy = entry.path;
    copy.replace(0, 4, "to");
    SCOPED_TRACE(copy);
    Times now = times_of(scratch.path(copy));
    EXPECT_TRUE(now.written == entry.times.written);
    // Wine keeps no creation time on a Unix file system.
    if (!test::under_wine()) {
      EXPECT_TRUE(now.created == entry.times.created);
    }
  }
}

} // namespace
} // namespace corvantix
