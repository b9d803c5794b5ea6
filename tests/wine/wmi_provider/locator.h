// The provider's IWbemLocator, which the module hands out for
// CLSID_WbemLocator.
#pragma once

#include <wbemidl.h>

namespace corvantix::test_wmi {

/// A new locator (one reference).
IWbemLocator *new_locator();

} // namespace corvantix::test_wmi
