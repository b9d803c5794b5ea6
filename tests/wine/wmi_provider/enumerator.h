// The results of one query as IEnumWbemClassObject. They are ready a
// while after the query was made (the description's `wait`), so that a
// slow WMI can be played: Next with a timeout then returns WBEM_S_TIMEDOUT
// until they are.
#pragma once

#include "disk_classes.h"

#include <memory>

namespace corvantix::test_wmi {

struct QueryResults {
  std::shared_ptr<const DiskInventory> inventory;
  std::vector<const Instance *> objects;
  ULONGLONG ready_at = 0; ///< GetTickCount64's time
  bool forward_only = false;
};

/// A new enumerator (one reference) over the results.
IEnumWbemClassObject *new_enumerator(QueryResults results);

} // namespace corvantix::test_wmi
