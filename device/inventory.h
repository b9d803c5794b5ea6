// The machine's inventory of disk drives, partitions and logical disks, as
// WMI keeps it (Win32_DiskDrive, Win32_DiskPartition, Win32_LogicalDisk and
// their associations). Windows reads it through WMI; the host build answers
// from the emulated machine. Failures of the inventory itself throw Error.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace corvantix {

/// A property value: text, or an unsigned number. WMI hands 64-bit numbers
/// over as decimal text; `number_of` reads both forms.
using InventoryValue = std::variant<std::string, std::uint64_t>;

class InventoryObject {
public:
  virtual ~InventoryObject() = default;
  /// The property's value, or nullopt when the object has none (or null).
  virtual std::optional<InventoryValue>
  property(const std::string &name) const = 0;
};

using InventoryObjectPtr = std::unique_ptr<InventoryObject>;

class Inventory {
public:
  virtual ~Inventory() = default;
  /// Every object of the class, in the inventory's order.
  virtual std::vector<InventoryObjectPtr>
  instances(const std::string &class_name) = 0;
  /// The objects of `result_class` associated with `object`, in order.
  virtual std::vector<InventoryObjectPtr>
  associators(const InventoryObject &object,
              const std::string &result_class) = 0;
};

/// The local machine's inventory, for use on the calling thread only.
std::unique_ptr<Inventory> open_inventory();

/// A property as text: text as is, a number in decimal; nullopt when absent.
std::optional<std::string> text_of(const InventoryObject &object,
                                   const std::string &name);
/// A property as a number: a number, or text holding a plain decimal
/// number; nullopt when absent or not a number.
std::optional<std::uint64_t> number_of(const InventoryObject &object,
                                       const std::string &name);

} // namespace corvantix
