// The formatter's Windows calls against the kernel that Wine provides. Wine
// has no raw disks, volume locks or disk geometry, so the wipe and the
// positioned write run on an ordinary file, which takes the same calls.
#include "disk/boot_records.h"
#include "disk/formatter.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class Win32Formatter : public ::testing::Test {
protected:
  void SetUp() override {
    char folder[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, folder), 0u);
    ASSERT_TRUE(GetTempFileNameA(folder, "cvx", 0, path_));
    HANDLE file = CreateFileA(path_, GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::string junk(64 * 1024, '\x11');
    DWORD written;
    ASSERT_TRUE(WriteFile(file, junk.data(), DWORD(junk.size()), &written,
                          nullptr));
    CloseHandle(file);
  }
  void TearDown() override { DeleteFileA(path_); }

  std::string contents() {
    HANDLE file = CreateFileA(path_, GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    std::string data(64 * 1024, '\0');
    DWORD read = 0;
    ReadFile(file, data.data(), DWORD(data.size()), &read, nullptr);
    CloseHandle(file);
    data.resize(read);
    return data;
  }

  char path_[MAX_PATH];
};

TEST_F(Win32Formatter, WipeFillsTheFirstSectorWithFF) {
  ASSERT_EQ(WipeMBR(path_), 0u);
  std::string data = contents();
  ASSERT_EQ(data.size(), 64u * 1024);
  EXPECT_EQ(data.substr(0, 512), std::string(512, '\xFF'));
  EXPECT_EQ(data.substr(512), std::string(64 * 1024 - 512, '\x11'));
}

TEST_F(Win32Formatter, WipeWantsTheDiskToItself) {
  HANDLE other = CreateFileA(path_, GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(WipeMBR(path_), DWORD(ERROR_SHARING_VIOLATION));
  CloseHandle(other);
  EXPECT_EQ(contents(), std::string(64 * 1024, '\x11'));
  std::string missing = std::string(path_) + ".none";
  EXPECT_EQ(WipeMBR(missing.c_str()), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(Win32Formatter, WriteSectorWritesAtTheBytePosition) {
  HANDLE file = CreateFileA(path_, GENERIC_READ | GENERIC_WRITE, 3, nullptr,
                            OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(WriteSector(file, 16384, 512, &MasterBootRecord), 0u);
  CloseHandle(file);
  std::string data = contents();
  EXPECT_EQ(data.substr(16384, 512),
            std::string(reinterpret_cast<const char *>(&MasterBootRecord), 512));
  EXPECT_EQ(data.substr(0, 16384), std::string(16384, '\x11'));
  EXPECT_EQ(WriteSector(INVALID_HANDLE_VALUE, 0, 512, &MasterBootRecord),
            DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(Win32Formatter, ALetterWithoutVolumeFailsAtOnce) {
  DWORD letters = GetLogicalDrives();
  char unused = 0;
  for (char letter = 'Z'; letter >= 'D' && !unused; --letter)
    if (!(letters & (1u << (letter - 'A'))))
      unused = letter;
  ASSERT_NE(unused, 0);
  DWORD code = CreatePartitionAndFormatFAT32(path_, unused);
  EXPECT_TRUE(code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
      << code;
  EXPECT_EQ(contents(), std::string(64 * 1024, '\x11'));
}

} // namespace
