// System texts come from the ANSI calls in the system's code page and must
// reach the object layer's messages as UTF-8.
#include "device/usb_disk.h"
#include "disk/formatter.h"
#include "platform/text.h"
#include "strings/error.h"
#include "strings/res.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace corvantix {
namespace {

// The system's text for `code` read with the wide call, which has no code
// page, as the UTF-8 first line.
std::string wide_system_text(DWORD code) {
  wchar_t text[512] = {};
  FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text,
                 512, nullptr);
  std::wstring line(text);
  line = line.substr(0, line.find_first_of(L"\r\n"));
  int length = WideCharToMultiByte(CP_UTF8, 0, line.data(), int(line.size()),
                                   nullptr, 0, nullptr, nullptr);
  std::string utf8(std::size_t(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.data(), int(line.size()), utf8.data(),
                      length, nullptr, nullptr);
  return utf8;
}

TEST(Win32AnsiText, GermanSystemTextsInCp1252BecomeUtf8) {
  if (GetACP() != 1252)
    GTEST_SKIP() << "the ANSI code page is " << GetACP() << ", not 1252";
  // ERROR_NOT_READY and ERROR_DISK_FULL as German Windows gives them.
  EXPECT_EQ(platform::from_ansi("Das Ger\xE4t ist nicht bereit."),
            "Das Ger\xC3\xA4t ist nicht bereit.");
  EXPECT_EQ(platform::from_ansi("Auf dem Datentr\xE4ger ist nicht genug "
                                "Speicherplatz vorhanden."),
            "Auf dem Datentr\xC3\xA4ger ist nicht genug Speicherplatz vorhanden.");
  EXPECT_EQ(platform::from_ansi("\x80 \xDF\xFC\xD6"), "\xE2\x82\xAC \xC3\x9F\xC3\xBC\xC3\x96");
  EXPECT_EQ(platform::to_ansi("Ger\xC3\xA4t"), "Ger\xE4t");
  EXPECT_EQ(platform::from_ansi(""), "");
}

class Win32UsbDiskMessage : public testing::Test {
protected:
  void SetUp() override { Res::init_for("en-US"); }
  void TearDown() override { Res::init_for("en-US"); }
};

TEST_F(Win32UsbDiskMessage, WipeFailureCarriesTheSystemTextAsUtf8) {
  const char *missing = "C:\\corvantix-no-such-folder\\disk";
  DWORD code = WipeMBR(missing);
  ASSERT_NE(code, 0u);
  UsbDisk disk(missing, "Stick", 1u << 20, "USBSTOR\\DISK&VEN_X&PROD_Y\\1", 'Q');
  try {
    disk.wipe();
    FAIL() << "the wipe of a missing disk succeeded";
  } catch (const Error &e) {
    std::string text = wide_system_text(code);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(e.what(), Res::format("USB_ERR_WIPE", "Q:\\", code, text));
  }
}

} // namespace
} // namespace corvantix
