// The emulated machine's disk inventory, in the forms WMI reports: drives
// with started device nodes and an image, the partitions of their MBR
// partition tables, and a logical disk for a lettered first partition.
#include "device/inventory.h"

#include "platform/host/machine/machine.h"
#include "platform/host/win32/kernel32_layout.h"
#include "strings/error.h"

#include <array>
#include <fstream>
#include <map>
#include <unistd.h>

namespace corvantix {
namespace {

using emulation::Disk;
using emulation::Machine;

struct Partition {
  int index;
  std::uint8_t type;
  bool active;
  std::uint64_t start; ///< in bytes
  std::uint64_t size;
};

class HostObject : public InventoryObject {
public:
  enum Kind { Drive, DiskPartition, LogicalDisk };

  HostObject(Kind kind, int disk, int partition = -1)
      : kind(kind), disk(disk), partition(partition) {}

  std::optional<InventoryValue>
  property(const std::string &name) const override {
    auto found = values.find(name);
    if (found == values.end())
      return std::nullopt;
    return found->second;
  }

  const Kind kind;
  const int disk;      ///< physical drive number
  const int partition; ///< partition index, for partitions and volumes
  std::map<std::string, InventoryValue> values;
};

std::string machine_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || !*name)
    return "LOCALHOST";
  std::string upper(name);
  upper = upper.substr(0, upper.find('.'));
  for (char &c : upper)
    c = char(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

// An object path as WMI writes it: backslashes and quotes in the key value
// escaped with a backslash.
std::string object_path(const std::string &class_name,
                        const std::string &key_value) {
  std::string escaped;
  for (char c : key_value) {
    if (c == '\\' || c == '"')
      escaped += '\\';
    escaped += c;
  }
  return "\\\\" + machine_name() + "\\root\\cimv2:" + class_name +
         ".DeviceID=\"" + escaped + "\"";
}

std::uint32_t le32(const unsigned char *p) {
  return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24;
}

// The used entries of the image's MBR partition table; none without a
// boot signature.
std::vector<Partition> partitions_of(const Disk &disk) {
  std::array<unsigned char, 512> mbr{};
  std::ifstream image(disk.config.image, std::ios::binary);
  if (!image.read(reinterpret_cast<char *>(mbr.data()), mbr.size()))
    return {};
  if (mbr[510] != 0x55 || mbr[511] != 0xAA)
    return {};
  // A file system from sector 0 on is one partition over the whole disk to
  // WMI, as Windows shows such a "superfloppy".
  if (emulation::file_system_at_sector_zero(mbr.data()))
    return {{0, 0, false, 0, disk.size()}};
  std::vector<Partition> found;
  for (int i = 0; i < 4; ++i) {
    const unsigned char *entry = &mbr[446 + 16 * i];
    std::uint8_t type = entry[4];
    std::uint32_t count = le32(entry + 12);
    if (type == 0 || count == 0)
      continue;
    found.push_back({int(found.size()), type, entry[0] == 0x80,
                     std::uint64_t(le32(entry + 8)) * 512,
                     std::uint64_t(count) * 512});
  }
  return found;
}

// A drive is seen while its node is started and its medium (image) exists.
bool visible(const Disk &disk) {
  std::error_code error;
  return disk.node_enabled &&
         disk.config.behaviour != emulation::NodeBehaviour::Phantom &&
         (disk.config.block_device
              ? disk.size() > 0
              : std::filesystem::is_regular_file(disk.config.image, error));
}

InventoryObjectPtr drive_object(const Disk &disk) {
  auto drive = std::make_unique<HostObject>(HostObject::Drive, disk.number);
  std::string device_id = "\\\\.\\PHYSICALDRIVE" + std::to_string(disk.number);
  std::uint64_t size = disk.size();
  auto &v = drive->values;
  v["DeviceID"] = device_id;
  v["Model"] = disk.config.model;
  v["Caption"] = disk.config.model;
  v["PNPDeviceID"] = disk.pnp_id;
  v["InterfaceType"] = disk.config.interface_type;
  v["MediaType"] = disk.config.interface_type == "USB"
                       ? std::string("Removable Media")
                       : std::string("Fixed hard disk media");
  v["Index"] = std::uint64_t(disk.number);
  v["BytesPerSector"] = std::uint64_t(disk.config.sector_size);
  v["Size"] = std::to_string(size); // uint64 comes as text
  v["__CLASS"] = std::string("Win32_DiskDrive");
  v["__PATH"] = object_path("Win32_DiskDrive", device_id);
  return drive;
}

std::string partition_id(int disk, int index) {
  return "Disk #" + std::to_string(disk) + ", Partition #" +
         std::to_string(index);
}

InventoryObjectPtr partition_object(const Disk &disk, const Partition &p) {
  auto object = std::make_unique<HostObject>(HostObject::DiskPartition,
                                             disk.number, p.index);
  std::string id = partition_id(disk.number, p.index);
  auto &v = object->values;
  v["DeviceID"] = id;
  v["DiskIndex"] = std::uint64_t(disk.number);
  v["Index"] = std::uint64_t(p.index);
  v["Bootable"] = std::uint64_t(p.active);
  v["PrimaryPartition"] = std::uint64_t(1);
  v["StartingOffset"] = std::to_string(p.start);
  v["Size"] = std::to_string(p.size);
  v["Type"] = std::string(p.type == 0x0B || p.type == 0x0C
                              ? "FAT32"
                              : "Installable File System");
  v["__CLASS"] = std::string("Win32_DiskPartition");
  v["__PATH"] = object_path("Win32_DiskPartition", id);
  return object;
}

InventoryObjectPtr logical_object(const Disk &disk, int partition) {
  auto object = std::make_unique<HostObject>(HostObject::LogicalDisk,
                                             disk.number, partition);
  std::string id = std::string(1, disk.config.letter) + ":";
  auto &v = object->values;
  v["DeviceID"] = id;
  v["Name"] = id;
  v["DriveType"] = std::uint64_t(disk.config.interface_type == "USB" ? 2 : 3);
  if (disk.mounted)
    v["FileSystem"] = std::string("FAT32");
  v["__CLASS"] = std::string("Win32_LogicalDisk");
  v["__PATH"] = object_path("Win32_LogicalDisk", id);
  return object;
}

class HostInventory : public Inventory {
public:
  std::vector<InventoryObjectPtr>
  instances(const std::string &class_name) override {
    Machine &machine = Machine::current();
    std::lock_guard guard(machine.lock());
    std::vector<InventoryObjectPtr> found;
    for (const Disk &disk : machine.disks()) {
      if (!visible(disk))
        continue;
      if (class_name == "Win32_DiskDrive") {
        found.push_back(drive_object(disk));
        continue;
      }
      auto partitions = partitions_of(disk);
      if (class_name == "Win32_DiskPartition") {
        for (const Partition &p : partitions)
          found.push_back(partition_object(disk, p));
      } else if (class_name == "Win32_LogicalDisk") {
        if (disk.config.letter && !partitions.empty())
          found.push_back(logical_object(disk, 0));
      } else {
        throw Error("0x80041010 Invalid class");
      }
    }
    return found;
  }

  std::vector<InventoryObjectPtr>
  associators(const InventoryObject &object,
              const std::string &result_class) override {
    const auto *host = dynamic_cast<const HostObject *>(&object);
    if (!host)
      throw Error("0x80041002 Not found");
    Machine &machine = Machine::current();
    std::lock_guard guard(machine.lock());
    const Disk *disk = machine.disk_by_number(host->disk);
    std::vector<InventoryObjectPtr> found;
    if (!disk || !visible(*disk))
      return found; // the object is gone from the machine
    auto partitions = partitions_of(*disk);
    if (host->kind == HostObject::Drive &&
        result_class == "Win32_DiskPartition") {
      for (const Partition &p : partitions)
        found.push_back(partition_object(*disk, p));
    } else if (host->kind == HostObject::DiskPartition &&
               result_class == "Win32_LogicalDisk") {
      // Only the first partition of a disk carries the disk's letter.
      if (host->partition == 0 && disk->config.letter && !partitions.empty())
        found.push_back(logical_object(*disk, 0));
    } else if (host->kind == HostObject::DiskPartition &&
               result_class == "Win32_DiskDrive") {
      found.push_back(drive_object(*disk));
    } else if (host->kind == HostObject::LogicalDisk &&
               result_class == "Win32_DiskPartition" &&
               host->partition < int(partitions.size())) {
      found.push_back(partition_object(*disk, partitions[host->partition]));
    }
    return found;
  }
};

} // namespace

std::unique_ptr<Inventory> open_inventory() {
  return std::make_unique<HostInventory>();
}

} // namespace corvantix
