// The raw-disk operations of UsbDisk, through the drive formatter.
#include "device/usb_disk.h"

#include "device/pnp_device.h"
#include "disk/capacity.h"
#include "disk/formatter.h"
#include "platform/text.h"
#include "strings/error.h"
#include "strings/res.h"

namespace corvantix {
namespace {

// The system's one-line text for `code` in UTF-8, as the messages are;
// empty when it has none. FormatMessageA writes the ANSI code page.
std::string system_text(DWORD code) {
  char *text = sTranslateLastError(code);
  if (!text)
    return {};
  std::string copy(text);
  LocalFree(text);
  return platform::from_ansi(copy);
}

void check(const char *key, const std::string &path, DWORD code) {
  if (code != 0)
    throw Error(Res::format(key, path, std::uint32_t(code), system_text(code)));
}

} // namespace

void UsbDisk::check_capacity() const {
  std::uint64_t kept = 0;
  DWORD code = CheckDiskCapacity(cDeviceId, letter, kept);
  if (code == kErrorCapacity)
    throw CapacityError(Res::format("USB_ERR_CAPACITY", kept >> 20, size >> 20));
  check("USB_ERR_FORMAT", path, code);
}

void UsbDisk::format() const {
  check("USB_ERR_FORMAT", path, CreatePartitionAndFormatFAT32(cDeviceId, letter));
}

void UsbDisk::wipe() const {
  check("USB_ERR_WIPE", path, WipeMBR(cDeviceId));
}

} // namespace corvantix
