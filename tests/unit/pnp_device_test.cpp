// The parts of the Plug-and-Play control that need no device: state texts,
// system messages and the SetupAPI record layouts.
#include "device/pnp_device.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace corvantix {
namespace {

TEST(DeviceState, TextsOfEveryStateAndOfUnknownOnes) {
  const char *texts[] = {
      "Device started",         "Device not started",
      "Device private problem", "Device problem",
      "Device disabled",        "Device status error",
      "Device is phantom device", "Device needs reboot",
  };
  for (int state = 0; state < 8; ++state)
    EXPECT_STREQ(CPNPDevice::GetDeviceState(state), texts[state]);
  for (int state : {8, -1, 100, -2147483647 - 1})
    EXPECT_STREQ(CPNPDevice::GetDeviceState(state), "unknown device state");
}

std::string translated(DWORD code) {
  char *text = sTranslateLastError(code);
  if (!text)
    return "<null>";
  std::string copy = text;
  EXPECT_EQ(LocalFree(text), nullptr);
  return copy;
}

// The system's whole text, read into a buffer of our own.
std::string system_text(DWORD code) {
  char buffer[512] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                 buffer, sizeof buffer, nullptr);
  return buffer;
}

TEST(TranslateLastError, FirstLineOfTheSystemTextWithoutLineEnd) {
  for (DWORD code : {2u, 3u, 5u, 21u, 32u, 50u, 87u, 112u, 1117u, 1167u}) {
    std::string whole = system_text(code);
    ASSERT_FALSE(whole.empty()) << code;
    std::string text = translated(code);
    EXPECT_EQ(text, whole.substr(0, whole.find_first_of("\r\n"))) << code;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << code;
    EXPECT_FALSE(text.empty()) << code;
  }
}

TEST(TranslateLastError, NullForACodeWithoutText) {
  EXPECT_EQ(sTranslateLastError(987654321u), nullptr);
  EXPECT_EQ(sTranslateLastError(0x2000ABCDu), nullptr);
}

TEST(PnpDevice, InstanceIdentifierIsCutToItsBuffer) {
  std::string id = "USBSTOR\\DISK&VEN_X&PROD_Y\\1";
  EXPECT_STREQ(CPNPDevice(id.c_str()).InstanceID, id.c_str());
  std::string longest(259, 'A');
  EXPECT_STREQ(CPNPDevice(longest.c_str()).InstanceID, longest.c_str());
  std::string too_long(300, 'B');
  CPNPDevice cut(too_long.c_str());
  EXPECT_EQ(std::strlen(cut.InstanceID), 259u);
}

// SetupAPI checks the size fields against its own record sizes, which
// depend on the word size: 32-bit Windows packs the records. The 32-bit
// build checks its sizes when it compiles as well; the host build's records
// follow the 64-bit layout.
TEST(PnpDevice, SetupRecordsHaveThePlatformLayout) {
  bool wide = sizeof(void *) == 8;
  EXPECT_EQ(sizeof(SP_DEVINFO_DATA), wide ? 32u : 28u);
  EXPECT_EQ(sizeof(SP_DEVINSTALL_PARAMS_A), wide ? 320u : 296u);
  EXPECT_EQ(sizeof(SP_DEVINFO_LIST_DETAIL_DATA_A), wide ? 296u : 287u);
  EXPECT_EQ(offsetof(SP_DEVINFO_DATA, DevInst), 20u);
  EXPECT_EQ(offsetof(SP_DEVINFO_LIST_DETAIL_DATA_A, RemoteMachineHandle),
            wide ? 24u : 20u);
}

} // namespace
} // namespace corvantix
