// ROOT\CIMV2 as IWbemServices: instance enumerations and the WQL of wql.h
// over the described disks. Every other call is refused.
#pragma once

#include "disk_classes.h"

#include <memory>

namespace corvantix::test_wmi {

/// A new service (one reference) over the inventory.
IWbemServices *new_services(std::shared_ptr<const DiskInventory> inventory);

} // namespace corvantix::test_wmi
