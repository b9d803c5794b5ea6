#include "pipeline/process.h"

#include <gtest/gtest.h>

TEST(ProcessOptions, DefaultsAndUncheckedCopyList) {
  corvantix::Process process;
  EXPECT_TRUE(process.backup());
  EXPECT_TRUE(process.fdos());
  EXPECT_TRUE(process.format());
  EXPECT_TRUE(process.copy_directories.empty());
  process.add_copy_directory("/no/such/folder");
  process.add_copy_directory("/no/such/folder");
  EXPECT_EQ(process.copy_directories.size(), 2u);
  process.format(false);
  EXPECT_FALSE(process.format());
  EXPECT_TRUE(process.backup());
}
