// The WMI instances of described disks: a Win32_DiskDrive per disk, a
// Win32_DiskPartition per partition and a Win32_LogicalDisk per lettered
// partition, with the properties and object paths WMI gives them, and the
// associations between them. Plain data; COM is elsewhere.
#pragma once

#include "disk_description.h"

#include <wbemidl.h>

#include <string>
#include <vector>

namespace corvantix::test_wmi {

struct Property {
  std::wstring name;
  /// CIM_STRING and CIM_UINT64 carry `text` (WMI hands uint64 over as
  /// text), CIM_UINT32 and CIM_BOOLEAN `number`.
  CIMTYPE type = CIM_STRING;
  std::wstring text;
  long number = 0;
  bool null = false;
};

struct Instance {
  std::wstring class_name;
  std::wstring device_id; ///< the key of all three classes
  unsigned disk = 0;
  int partition = -1; ///< -1 for the drive itself
  std::vector<Property> properties;

  /// The property of this name (case-insensitive), or null.
  const Property *find(const std::wstring &name) const;
};

class DiskInventory {
public:
  /// `server` is the machine name that object paths begin with.
  DiskInventory(const DiskDescription &description, const std::wstring &server);

  static bool has_class(const std::wstring &class_name);
  std::vector<const Instance *> instances(const std::wstring &class_name) const;
  /// The instance of the class with this DeviceID, or null.
  const Instance *find(const std::wstring &class_name,
                       const std::wstring &device_id) const;
  /// The instances associated with `object`: a drive's partitions, a
  /// partition's drive and volume, a volume's partition. An empty result
  /// class matches every class.
  std::vector<const Instance *>
  associators(const Instance &object, const std::wstring &result_class) const;

  unsigned wait_ms() const { return wait_ms_; }

private:
  std::vector<Instance> all_;
  unsigned wait_ms_;
};

bool same_name(const std::wstring &a, const std::wstring &b);

} // namespace corvantix::test_wmi
