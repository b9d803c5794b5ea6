#include "unit/test_platform.h"

#include <windows.h>

#include <string>

namespace corvantix::test {

bool under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

} // namespace corvantix::test

namespace {

// Run records of the tests go to a folder of their own, never the user's.
struct TestStateFolder {
  TestStateFolder() {
    wchar_t temp[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH)
      return;
    std::wstring folder = std::wstring(temp) + L"corvantix-test-state-" +
                          std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    SetEnvironmentVariableW(L"LOCALAPPDATA", folder.c_str());
  }
} test_state_folder;

} // namespace
