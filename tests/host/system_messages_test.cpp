// The emulated kernel speaks Windows' own English texts.
#include "device/pnp_device.h"
#include "platform/host/win32/kernel32_control.h"

#include <gtest/gtest.h>

namespace corvantix {
namespace {

std::string take(char *text) {
  std::string copy = text ? text : "<null>";
  if (text) {
    EXPECT_EQ(LocalFree(text), nullptr);
  }
  return copy;
}

TEST(SystemMessages, WindowsTextsOfTheCommonCodes) {
  std::size_t blocks = emulation::local_blocks();
  EXPECT_EQ(take(sTranslateLastError(5)), "Access is denied.");
  EXPECT_EQ(take(sTranslateLastError(2)),
            "The system cannot find the file specified.");
  EXPECT_EQ(take(sTranslateLastError(21)), "The device is not ready.");
  EXPECT_EQ(take(sTranslateLastError(32)),
            "The process cannot access the file because it is being used by "
            "another process.");
  EXPECT_EQ(take(sTranslateLastError(112)),
            "There is not enough space on the disk.");
  EXPECT_EQ(take(sTranslateLastError(987654321u)), "<null>");
  EXPECT_EQ(emulation::local_blocks(), blocks) << "every text is released";
}

TEST(SystemMessages, FormatMessageIntoACallersBuffer) {
  char small[8];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, small,
                           sizeof small, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  char buffer[64];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, buffer,
                           sizeof buffer, nullptr),
            19u);
  EXPECT_STREQ(buffer, "Access is denied.\r\n");
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 4242, 0,
                           buffer, sizeof buffer, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MR_MID_NOT_FOUND));
}

TEST(SystemMessages, LocalFreeRefusesWhatItDidNotAllocate) {
  HLOCAL block = LocalAlloc(LPTR, 16);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(LocalFree(block), nullptr);
  EXPECT_EQ(LocalFree(block), block) << "a second release must fail";
  int local = 0;
  EXPECT_EQ(LocalFree(&local), &local);
}

} // namespace
} // namespace corvantix
