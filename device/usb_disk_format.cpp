// The raw-disk operations of UsbDisk, through the drive formatter and the
// reading of the partition table.
#include "device/usb_disk.h"

#include "device/pnp_device.h"
#include "disk/capacity.h"
#include "disk/formatter.h"
#include "disk/layout.h"
#include "disk/raw_device.h"
#include "platform/filesystem.h"
#include "platform/text.h"
#include "strings/error.h"
#include "strings/res.h"

#include <cstdio>
#include <cstring>

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

constexpr std::uint32_t kDiskFull = 112; // ERROR_DISK_FULL

// The partition types a person may know by name; others by their GUID.
struct GptKind {
  GUID type;
  const char *name;
};
constexpr GptKind kGptKinds[] = {
    {{0xEBD0A0A2, 0xB9E5, 0x4433, {0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7}},
     "Microsoft basic data"},
    {{0xC12A7328, 0xF81F, 0x11D2, {0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B}},
     "EFI system"},
    {{0xE3C9E316, 0x0B5C, 0x4DB8, {0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE}},
     "Microsoft reserved"},
    {{0xDE94BBA4, 0x06D1, 0x4D40, {0xA1, 0x6A, 0xBF, 0xD5, 0x01, 0x79, 0xD6, 0xAC}},
     "Windows recovery"},
    {{0x0FC63DAF, 0x8483, 0x4772, {0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4}},
     "Linux filesystem"},
    {{0x0657FD6D, 0xA4AB, 0x43C4, {0x84, 0xE5, 0x09, 0x33, 0xC8, 0x4B, 0x4F, 0x4F}},
     "Linux swap"},
    {{0x48465300, 0x0000, 0x11AA, {0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC}},
     "Apple HFS+"},
    {{0x7C3457EF, 0x0000, 0x11AA, {0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC}},
     "Apple APFS"},
};

std::string gpt_kind(const GUID &type) {
  for (const GptKind &kind : kGptKinds)
    if (std::memcmp(&kind.type, &type, sizeof type) == 0)
      return kind.name;
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                unsigned(type.Data1), unsigned(type.Data2), unsigned(type.Data3),
                type.Data4[0], type.Data4[1], type.Data4[2], type.Data4[3],
                type.Data4[4], type.Data4[5], type.Data4[6], type.Data4[7]);
  return text;
}

std::string describe(const DISK_PARTITION &partition, DWORD style) {
  std::uint64_t mb = partition.Length >> 20;
  if (style == PARTITION_STYLE_GPT)
    return Res::format("USB_PARTITION_GPT", partition.Number, mb,
                       gpt_kind(partition.GptType));
  char type[8];
  std::snprintf(type, sizeof type, "0x%02X", unsigned(partition.MbrType));
  return Res::format("USB_PARTITION_MBR", partition.Number, mb,
                     std::string(type));
}

bool disk_full(const std::exception_ptr &failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const platform::FileError &e) {
    return e.code() == kDiskFull;
  } catch (const Error &e) {
    return e.cause() && disk_full(e.cause());
  } catch (...) {
    return false;
  }
}

} // namespace

void UsbDisk::check_layout(bool backup) const {
  DISK_LAYOUT layout;
  if (DWORD code = ReadDiskLayout(cDeviceId, layout))
    throw Error(Res::format("USB_ERR_LAYOUT", name, std::uint32_t(code),
                            system_text(code)));
  const std::uint64_t smallest = MinimumFat32DiskSize();
  if (layout.DiskSize < smallest)
    throw Error(Res::format("USB_ERR_TOO_SMALL", name, layout.DiskSize >> 20,
                            (smallest + (1 << 20) - 1) >> 20));
  if (!backup)
    return; // the user agreed to lose everything on the stick
  // Windows reports a file system from sector 0 on as one partition at
  // offset 0 where it reads it, and as RAW where it does not.
  bool superfloppy = layout.Style == PARTITION_STYLE_RAW ||
                     (!layout.Partitions.empty() &&
                      layout.Partitions.front().Offset == 0);
  auto readable = [&] { return platform::file_system().volume_ready(path); };
  if (superfloppy && !readable())
    throw Error(Res::format("USB_ERR_NO_TABLE", name));
  // The backup reads the volume of the first partition only.
  std::string others;
  for (std::size_t i = 1; i < layout.Partitions.size(); ++i) {
    if (!others.empty())
      others += ' ';
    others += describe(layout.Partitions[i], layout.Style);
  }
  if (!others.empty())
    throw Error(Res::format("USB_ERR_PARTITIONS", name, others));
  if (layout.Style == PARTITION_STYLE_GPT && !readable())
    throw Error(Res::format("USB_ERR_GPT", name));
}

std::string UsbDisk::full_note(const std::exception_ptr &failure) const {
  std::string note;
  if (disk_full(failure))
    note.append(1, ' ').append(Res::format("USB_FULL", name));
  return note;
}

UsbDisk::VolumeHold::VolumeHold(std::unique_ptr<VolumeLock> lock)
    : lock_(std::move(lock)) {}
UsbDisk::VolumeHold::VolumeHold(VolumeHold &&) noexcept = default;
UsbDisk::VolumeHold::~VolumeHold() = default;

UsbDisk::VolumeHold UsbDisk::lock_volume() const {
  auto lock = std::make_unique<VolumeLock>(letter);
  DWORD code = lock->Take();
  if (code && lock->HeldByOther()) {
    // A platform that knows more than a program's name says it whole.
    std::string words = platform::file_system().volume_user(path);
    std::string program = platform::file_system().volume_holder(path);
    if (words.empty())
      words = program.empty() ? Res::format("USB_ERR_IN_USE", name)
                              : Res::format("USB_ERR_IN_USE_BY", name, program);
    throw DriveInUseError(words);
  }
  check("USB_ERR_FORMAT", name, code);
  return VolumeHold(std::move(lock));
}

void UsbDisk::check_capacity(VolumeHold &hold) const {
  std::uint64_t kept = 0;
  DWORD code = CheckDiskCapacity(cDeviceId, hold.lock(), kept);
  if (code == kErrorCapacity)
    throw CapacityError(Res::format("USB_ERR_CAPACITY", kept >> 20, size >> 20));
  check("USB_ERR_FORMAT", name, code);
}

void UsbDisk::format() const {
  check("USB_ERR_FORMAT", name, CreatePartitionAndFormatFAT32(cDeviceId, letter));
}

void UsbDisk::format(VolumeHold &hold) const {
  check("USB_ERR_FORMAT", name,
        CreatePartitionAndFormatFAT32(cDeviceId, hold.lock()));
}

void UsbDisk::wipe() const {
  check("USB_ERR_WIPE", name, WipeMBR(cDeviceId));
}

} // namespace corvantix
