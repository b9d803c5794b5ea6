// One instance as IWbemClassObject: its properties read with Get, as WMI
// hands them over (uint64 as text, uint32 as VT_I4).
#pragma once

#include "disk_classes.h"

#include <memory>

namespace corvantix::test_wmi {

/// A new object (one reference) for `object`, which `inventory` keeps.
IWbemClassObject *
new_class_object(std::shared_ptr<const DiskInventory> inventory,
                 const Instance &object);

} // namespace corvantix::test_wmi
