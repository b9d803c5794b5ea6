#include "device/usb_disk.h"

#include "device/inventory.h"
#include "device/pnp_device.h"
#include "platform/text.h"
#include "strings/error.h"
#include "strings/res.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace corvantix {
namespace {

std::unique_ptr<char[]> ansi_copy(const std::string &text) {
  std::string ansi = platform::to_ansi(text);
  auto copy = std::make_unique<char[]>(ansi.size() + 1);
  std::memcpy(copy.get(), ansi.c_str(), ansi.size() + 1);
  return copy;
}

// The drive letter of a logical disk's object path, which ends in
// Win32_LogicalDisk.DeviceID="E:"; 0 when the path has no DeviceID key.
char letter_of(const std::string &path) {
  constexpr std::string_view key = "DeviceID=";
  std::size_t at = path.find(key);
  if (at == std::string::npos || at + key.size() + 1 >= path.size())
    return 0;
  return path[at + key.size() + 1]; // the first character after the quote
}

// The first object of `result_class` associated with `object`, or null.
InventoryObjectPtr first_associator(Inventory &inventory,
                                    const InventoryObject &object,
                                    const std::string &result_class) {
  auto related = inventory.associators(object, result_class);
  if (related.empty())
    return nullptr;
  return std::move(related.front());
}

// The listed disk of one drive: a USB drive whose first partition has a
// lettered volume. Null for every other drive.
UsbDiskPtr disk_of(Inventory &inventory, const InventoryObject &drive) {
  auto interface_type = text_of(drive, "InterfaceType");
  if (!interface_type || interface_type->find("USB") == std::string::npos)
    return nullptr;
  auto device_id = text_of(drive, "DeviceID");
  auto model = text_of(drive, "Model");
  auto pnp_id = text_of(drive, "PNPDeviceID");
  auto size = number_of(drive, "Size");
  auto path = text_of(drive, "__PATH");
  if (!device_id || !model || !pnp_id || !size || !path)
    return nullptr;

  auto partition = first_associator(inventory, drive, "Win32_DiskPartition");
  if (!partition)
    return nullptr;
  auto logical = first_associator(inventory, *partition, "Win32_LogicalDisk");
  if (!logical)
    return nullptr;
  auto logical_path = text_of(*logical, "__PATH");
  char letter = logical_path ? letter_of(*logical_path) : 0;
  if (!letter)
    return nullptr;
  return std::make_shared<UsbDisk>(*device_id, *model, *size, *pnp_id, letter);
}

} // namespace

UsbDisk::UsbDisk(std::string deviceID, std::string model, std::uint64_t size,
                 std::string pnpID, char letter, std::string name)
    : deviceID(std::move(deviceID)), model(std::move(model)),
      pnpID(std::move(pnpID)), letter(letter), size(size),
      path(std::string(1, letter) + ":\\"),
      name(name.empty() ? path : std::move(name)),
      pDeviceId(ansi_copy(this->deviceID)), pPnpId(ansi_copy(this->pnpID)) {
  cDeviceId = pDeviceId.get();
  cPnpId = pPnpId.get();
}

UsbDisk::~UsbDisk() = default; // the unique_ptrs release both copies once

void UsbDisk::refresh() const {
  CPNPDevice device(cPnpId);
  if (device.Refresh() != Started)
    throw Error(Res::format("USB_ERR_REFRESH", pnpID));
}

std::string UsbDisk::ToString() const {
  return Res::format("USB_REPR", path, model, size >> 20);
}

void UsbList::build() {
  std::unique_ptr<Inventory> inventory = open_inventory();
  build(*inventory);
}

void UsbList::build(Inventory &inventory) {
  disks.clear();
  for (const InventoryObjectPtr &drive : inventory.instances("Win32_DiskDrive"))
    if (UsbDiskPtr disk = disk_of(inventory, *drive))
      disks.push_back(std::move(disk));
}

UsbDiskPtr UsbList::by_letter(char letter) const {
  for (const UsbDiskPtr &disk : disks)
    if (disk->letter == letter)
      return disk;
  return nullptr;
}

std::string UsbList::missing_letter_text(char letter) const {
  if (disks.empty())
    return Res::get("ARGS_YES_NO_USB");
  return Res::format("ARGS_ERR_LETTER", letter);
}

std::optional<std::string> text_of(const InventoryObject &object,
                                   const std::string &name) {
  auto value = object.property(name);
  if (!value)
    return std::nullopt;
  if (auto *text = std::get_if<std::string>(&*value))
    return *text;
  return std::to_string(std::get<std::uint64_t>(*value));
}

std::optional<std::uint64_t> number_of(const InventoryObject &object,
                                       const std::string &name) {
  auto value = object.property(name);
  if (!value)
    return std::nullopt;
  if (auto *number = std::get_if<std::uint64_t>(&*value))
    return *number;
  const std::string &text = std::get<std::string>(*value);
  if (text.empty() || text.size() > 20 ||
      text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  errno = 0;
  unsigned long long number = std::strtoull(text.c_str(), nullptr, 10);
  if (errno == ERANGE)
    return std::nullopt;
  return number;
}

} // namespace corvantix
