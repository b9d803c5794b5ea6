// The disk inventory through WMI (namespace ROOT\CIMV2) over COM. COM is
// initialised on the calling thread as a single-threaded apartment, as the
// window thread's is; every interface is released on every path. The calls
// are semi-synchronous and their waits bounded, so that a provider that
// never answers ends the scan with InventoryTimeout instead of holding the
// window thread.
#include "device/inventory.h"
#include "device/scan_deadline.h"

#include "platform/win32/text.h"
#include "strings/error.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <cstdio>
#include <utility>

namespace corvantix {
namespace {

template <typename T> class ComPtr {
public:
  ComPtr() = default;
  ComPtr(const ComPtr &) = delete;
  ComPtr &operator=(const ComPtr &) = delete;
  ~ComPtr() { reset(); }

  /// For the output argument of a call; drops the interface held before.
  T **out() {
    reset();
    return &p_;
  }
  T *get() const { return p_; }
  T *operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  void reset() {
    if (p_)
      std::exchange(p_, nullptr)->Release();
  }

private:
  T *p_ = nullptr;
};

class Bstr {
public:
  explicit Bstr(const std::string &utf8)
      : b_(SysAllocString(win32::widen(utf8).c_str())) {
    if (!b_)
      throw std::bad_alloc();
  }
  Bstr(const Bstr &) = delete;
  Bstr &operator=(const Bstr &) = delete;
  ~Bstr() { SysFreeString(b_); }
  operator BSTR() const { return b_; }

private:
  BSTR b_;
};

class Variant {
public:
  Variant() { VariantInit(&v); }
  Variant(const Variant &) = delete;
  Variant &operator=(const Variant &) = delete;
  ~Variant() { VariantClear(&v); }
  VARIANT v;
};

// WMI's own text for an HRESULT, else the system's; empty when neither
// knows the code.
std::string error_text(HRESULT hr) {
  ComPtr<IWbemStatusCodeText> status;
  if (SUCCEEDED(CoCreateInstance(CLSID_WbemStatusCodeText, nullptr,
                                 CLSCTX_INPROC_SERVER, IID_IWbemStatusCodeText,
                                 reinterpret_cast<void **>(status.out())))) {
    BSTR text = nullptr;
    if (SUCCEEDED(status->GetErrorCodeText(hr, 0, 0, &text)) && text) {
      std::string result = win32::narrow(text);
      SysFreeString(text);
      return result;
    }
  }
  wchar_t *buffer = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                     FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, DWORD(hr), 0, reinterpret_cast<wchar_t *>(&buffer), 0,
                 nullptr);
  if (!buffer)
    return {};
  std::string result = win32::narrow(buffer);
  LocalFree(buffer);
  return result;
}

void check(HRESULT hr) {
  if (SUCCEEDED(hr))
    return;
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  std::string text = error_text(hr);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' ||
                           text.back() == ' '))
    text.pop_back();
  throw Error("WMI " + std::string(code) + (text.empty() ? "." : ": " + text));
}

// COM on this thread for as long as an inventory or one of its objects
// lives. A thread already in the multithreaded apartment keeps it.
class Apartment {
public:
  Apartment() {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    owned_ = SUCCEEDED(hr);
    if (hr != RPC_E_CHANGED_MODE)
      check(hr);
  }
  Apartment(const Apartment &) = delete;
  Apartment &operator=(const Apartment &) = delete;
  ~Apartment() {
    if (owned_)
      CoUninitialize();
  }

private:
  bool owned_;
};

// Proxies of a local WMI service impersonate the caller. In-process
// objects have no proxy and refuse the call, which is harmless.
void impersonate(IUnknown *proxy) {
  CoSetProxyBlanket(proxy, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                    RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE,
                    nullptr, EOAC_NONE);
}

std::optional<InventoryValue> value_of(VARIANT &v) {
  switch (v.vt) {
  case VT_EMPTY:
  case VT_NULL:
    return std::nullopt;
  case VT_BSTR:
    return win32::narrow(v.bstrVal ? v.bstrVal : L"");
  case VT_BOOL:
    return std::uint64_t(v.boolVal != VARIANT_FALSE);
  case VT_UI1:
    return std::uint64_t(v.bVal);
  case VT_I2:
  case VT_I4:
  case VT_INT:
    return std::uint64_t(std::int64_t(v.vt == VT_I2 ? v.iVal : v.lVal));
  case VT_UI2:
    return std::uint64_t(v.uiVal);
  case VT_UI4:
  case VT_UINT:
    return std::uint64_t(v.ulVal);
  case VT_I8:
  case VT_UI8:
    return std::uint64_t(v.ullVal);
  default:
    // Dates, arrays and the like are read as WMI's text for them.
    if (FAILED(VariantChangeType(&v, &v, 0, VT_BSTR)))
      return std::nullopt;
    return win32::narrow(v.bstrVal ? v.bstrVal : L"");
  }
}

class WmiObject : public InventoryObject {
public:
  explicit WmiObject(std::shared_ptr<Apartment> apartment)
      : apartment_(std::move(apartment)) {}

  std::optional<InventoryValue>
  property(const std::string &name) const override {
    Variant value;
    HRESULT hr = object->Get(win32::widen(name).c_str(), 0, &value.v, nullptr,
                             nullptr);
    if (hr == HRESULT(WBEM_E_NOT_FOUND))
      return std::nullopt;
    check(hr);
    return value_of(value.v);
  }

  std::shared_ptr<Apartment> apartment_;
  // Declared after the apartment, so released before COM is left.
  ComPtr<IWbemClassObject> object;
};

class WmiInventory : public Inventory {
public:
  WmiInventory() : apartment_(std::make_shared<Apartment>()) {
    ComPtr<IWbemLocator> locator;
    check(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                           IID_IWbemLocator,
                           reinterpret_cast<void **>(locator.out())));
    // The connection has no wait of its own to set; WMI bounds it.
    check(locator->ConnectServer(Bstr("ROOT\\CIMV2"), nullptr, nullptr, nullptr,
                                 WBEM_FLAG_CONNECT_USE_MAX_WAIT, nullptr,
                                 nullptr, services_.out()));
    deadline_.check();
    impersonate(services_.get());
  }

  std::vector<InventoryObjectPtr>
  instances(const std::string &class_name) override {
    ComPtr<IEnumWbemClassObject> found;
    check(services_->CreateInstanceEnum(
        Bstr(class_name), WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
        nullptr, found.out()));
    return collect(found);
  }

  std::vector<InventoryObjectPtr>
  associators(const InventoryObject &object,
              const std::string &result_class) override {
    auto path = text_of(object, "__PATH");
    if (!path)
      return {}; // an object without a path has no associations
    ComPtr<IEnumWbemClassObject> found;
    check(services_->ExecQuery(
        Bstr("WQL"),
        Bstr("ASSOCIATORS OF {" + *path + "} WHERE ResultClass = " +
             result_class),
        WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
        found.out()));
    return collect(found);
  }

private:
  std::vector<InventoryObjectPtr> collect(ComPtr<IEnumWbemClassObject> &found) {
    impersonate(found.get());
    std::vector<InventoryObjectPtr> objects;
    enumerate_within(deadline_, [&](std::uint32_t ms) {
      auto object = std::make_unique<WmiObject>(apartment_);
      ULONG returned = 0;
      HRESULT hr = found->Next(LONG(ms), 1, object->object.out(), &returned);
      if (hr == WBEM_S_TIMEDOUT)
        return NextObject::timed_out;
      check(hr);
      if (returned == 0 || !object->object)
        return NextObject::end;
      objects.push_back(std::move(object));
      return NextObject::got;
    });
    return objects;
  }

  // One scan opens one inventory: its time begins here.
  ScanDeadline deadline_;
  // Declared before the services: COM stays initialised until they are
  // released.
  std::shared_ptr<Apartment> apartment_;
  ComPtr<IWbemServices> services_;
};

} // namespace

std::unique_ptr<Inventory> open_inventory() {
  return std::make_unique<WmiInventory>();
}

} // namespace corvantix
