#include "unit/test_platform.h"

#include <windows.h>

namespace corvantix::test {

bool under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

} // namespace corvantix::test
