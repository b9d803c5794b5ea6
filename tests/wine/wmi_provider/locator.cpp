// IWbemLocator: ConnectServer on ROOT\CIMV2 reads the disk description
// anew, so a test can change the machine's disks between two scans. The
// install script records the description's path in the registry.
#include "locator.h"

#include "com_object.h"
#include "services.h"

#include <cstdio>

namespace corvantix::test_wmi {
namespace {

constexpr wchar_t kKey[] = L"Software\\Corvantix\\Test WMI provider";

class RegistryKey {
public:
  RegistryKey(HKEY parent, const wchar_t *name) {
    // One value for the 32- and the 64-bit provider alike.
    if (RegOpenKeyExW(parent, name, 0, KEY_READ | KEY_WOW64_64KEY, &key_) !=
        ERROR_SUCCESS)
      key_ = nullptr;
  }
  RegistryKey(const RegistryKey &) = delete;
  RegistryKey &operator=(const RegistryKey &) = delete;
  ~RegistryKey() {
    if (key_)
      RegCloseKey(key_);
  }

  std::wstring text(const wchar_t *value) const {
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t), type = 0;
    if (!key_ ||
        RegQueryValueExW(key_, value, nullptr, &type,
                         reinterpret_cast<BYTE *>(buffer),
                         &size) != ERROR_SUCCESS ||
        type != REG_SZ)
      return {};
    return buffer;
  }

private:
  HKEY key_ = nullptr;
};

// "root\cimv2", also as \\.\root\cimv2 or with forward slashes.
bool is_cimv2(std::wstring name) {
  for (wchar_t &c : name)
    if (c == L'/')
      c = L'\\';
  if (name.compare(0, 2, L"\\\\") == 0)
    name.erase(0, name.find(L'\\', 2) + 1);
  return same_name(name, L"root\\cimv2");
}

std::wstring computer_name() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size))
    return L"LOCALHOST";
  CharUpperW(name);
  return name;
}

class Locator : public ComObject<IWbemLocator, IID_IWbemLocator> {
public:
  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR name, const BSTR,
                                          const BSTR, const BSTR, LONG,
                                          const BSTR, IWbemContext *,
                                          IWbemServices **services) override {
    if (!name || !services)
      return WBEM_E_INVALID_PARAMETER;
    *services = nullptr;
    if (!is_cimv2(name))
      return WBEM_E_INVALID_NAMESPACE;
    std::wstring file = RegistryKey(HKEY_LOCAL_MACHINE, kKey).text(L"Disks");
    std::wstring error = L"no Disks value in HKLM\\" + std::wstring(kKey);
    std::optional<DiskDescription> description;
    try {
      if (!file.empty())
        description = read_description(file, error);
      if (!description) {
        std::fwprintf(stderr, L"test WMI provider: %ls\n", error.c_str());
        return WBEM_E_INITIALIZATION_FAILURE;
      }
      *services = new_services(
          std::make_shared<DiskInventory>(*description, computer_name()));
      return WBEM_S_NO_ERROR;
    } catch (const std::bad_alloc &) {
      return WBEM_E_OUT_OF_MEMORY;
    }
  }
};

} // namespace

IWbemLocator *new_locator() { return new Locator; }

} // namespace corvantix::test_wmi
