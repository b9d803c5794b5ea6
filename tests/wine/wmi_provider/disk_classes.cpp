#include "disk_classes.h"

#include <windows.h>

namespace corvantix::test_wmi {
namespace {

constexpr wchar_t kDrive[] = L"Win32_DiskDrive";
constexpr wchar_t kPartition[] = L"Win32_DiskPartition";
constexpr wchar_t kLogical[] = L"Win32_LogicalDisk";
constexpr std::uint64_t kFirstPartitionOffset = 1 << 20;

Property text(const wchar_t *name, std::wstring value) {
  return {name, CIM_STRING, std::move(value)};
}
Property uint64(const wchar_t *name, std::uint64_t value) {
  return {name, CIM_UINT64, std::to_wstring(value)};
}
Property uint32(const wchar_t *name, long value) {
  return {name, CIM_UINT32, L"", value};
}
Property boolean(const wchar_t *name, bool value) {
  return {name, CIM_BOOLEAN, L"", value};
}

// The key as an object path writes it: backslashes and quotes escaped.
std::wstring quoted_key(const std::wstring &value) {
  std::wstring escaped = L"\"";
  for (wchar_t c : value) {
    if (c == L'\\' || c == L'"')
      escaped += L'\\';
    escaped += c;
  }
  return escaped + L"\"";
}

// The system properties, first as WMI lists them.
Instance instance(const std::wstring &class_name, const std::wstring &device_id,
                  const std::wstring &server) {
  Instance object;
  object.class_name = class_name;
  object.device_id = device_id;
  std::wstring relpath = class_name + L".DeviceID=" + quoted_key(device_id);
  object.properties = {
      uint32(L"__GENUS", 2),
      text(L"__CLASS", class_name),
      text(L"__RELPATH", relpath),
      text(L"__SERVER", server),
      text(L"__NAMESPACE", L"root\\cimv2"),
      text(L"__PATH", L"\\\\" + server + L"\\root\\cimv2:" + relpath),
      text(L"DeviceID", device_id)};
  return object;
}

Instance drive_of(const DescribedDisk &disk, const std::wstring &server) {
  Instance drive = instance(
      kDrive, L"\\\\.\\PHYSICALDRIVE" + std::to_wstring(disk.index), server);
  drive.disk = disk.index;
  bool usb = disk.interface_type == L"USB";
  drive.properties.insert(
      drive.properties.end(),
      {uint32(L"BytesPerSector", 512), text(L"Caption", disk.model),
       uint32(L"Index", long(disk.index)),
       text(L"InterfaceType", disk.interface_type),
       text(L"MediaType", usb ? L"Removable Media" : L"Fixed hard disk media"),
       text(L"Model", disk.model),
       uint32(L"Partitions", long(disk.letters.size())),
       text(L"PNPDeviceID", disk.pnp_id), uint64(L"Size", disk.size),
       text(L"Status", L"OK")});
  for (Property &property : drive.properties)
    for (const std::wstring &name : disk.null_properties)
      if (same_name(property.name, name))
        property.null = true;
  return drive;
}

// Partitions share what follows the first one's offset equally.
std::uint64_t partition_size(const DescribedDisk &disk) {
  if (disk.size <= kFirstPartitionOffset)
    return 0;
  return (disk.size - kFirstPartitionOffset) / disk.letters.size() / 512 * 512;
}

Instance partition_of(const DescribedDisk &disk, int index,
                      const std::wstring &server) {
  Instance partition = instance(kPartition,
                                L"Disk #" + std::to_wstring(disk.index) +
                                    L", Partition #" + std::to_wstring(index),
                                server);
  partition.disk = disk.index;
  partition.partition = index;
  std::uint64_t size = partition_size(disk);
  partition.properties.insert(
      partition.properties.end(),
      {boolean(L"Bootable", index == 0), boolean(L"BootPartition", index == 0),
       uint32(L"DiskIndex", long(disk.index)), uint32(L"Index", index),
       boolean(L"PrimaryPartition", true), uint64(L"Size", size),
       uint64(L"StartingOffset", kFirstPartitionOffset + index * size)});
  return partition;
}

Instance logical_of(const DescribedDisk &disk, int index,
                    const std::wstring &server) {
  std::wstring name = std::wstring(1, disk.letters[index]) + L":";
  Instance logical = instance(kLogical, name, server);
  logical.disk = disk.index;
  logical.partition = index;
  bool usb = disk.interface_type == L"USB";
  logical.properties.insert(
      logical.properties.end(),
      {text(L"Caption", name), uint32(L"DriveType", usb ? 2 : 3),
       text(L"FileSystem", L"FAT32"), uint32(L"MediaType", usb ? 11 : 12),
       text(L"Name", name), uint64(L"Size", partition_size(disk))});
  return logical;
}

// Drives with their partitions, and partitions with their volumes.
bool associated(const Instance &a, const Instance &b) {
  if (a.disk != b.disk || a.class_name == b.class_name)
    return false;
  bool with_drive = a.partition < 0 || b.partition < 0;
  bool with_partition =
      a.class_name == kPartition || b.class_name == kPartition;
  return with_partition && (with_drive || a.partition == b.partition);
}

} // namespace

bool same_name(const std::wstring &a, const std::wstring &b) {
  return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(),
                              int(b.size()), TRUE) == CSTR_EQUAL;
}

const Property *Instance::find(const std::wstring &name) const {
  for (const Property &property : properties)
    if (same_name(property.name, name))
      return &property;
  return nullptr;
}

DiskInventory::DiskInventory(const DiskDescription &description,
                             const std::wstring &server)
    : wait_ms_(description.wait_ms) {
  for (const DescribedDisk &disk : description.disks) {
    all_.push_back(drive_of(disk, server));
    for (int i = 0; i < int(disk.letters.size()); ++i) {
      all_.push_back(partition_of(disk, i, server));
      if (disk.letters[i])
        all_.push_back(logical_of(disk, i, server));
    }
  }
}

bool DiskInventory::has_class(const std::wstring &class_name) {
  for (const wchar_t *known : {kDrive, kPartition, kLogical})
    if (same_name(class_name, known))
      return true;
  return false;
}

std::vector<const Instance *>
DiskInventory::instances(const std::wstring &class_name) const {
  std::vector<const Instance *> found;
  for (const Instance &object : all_)
    if (same_name(object.class_name, class_name))
      found.push_back(&object);
  return found;
}

const Instance *DiskInventory::find(const std::wstring &class_name,
                                    const std::wstring &device_id) const {
  for (const Instance &object : all_)
    if (same_name(object.class_name, class_name) &&
        same_name(object.device_id, device_id))
      return &object;
  return nullptr;
}

std::vector<const Instance *>
DiskInventory::associators(const Instance &object,
                           const std::wstring &result_class) const {
  std::vector<const Instance *> found;
  for (const Instance &other : all_)
    if (associated(object, other) &&
        (result_class.empty() || same_name(other.class_name, result_class)))
      found.push_back(&other);
  return found;
}

} // namespace corvantix::test_wmi
