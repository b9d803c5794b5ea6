// The DLL's COM entry points: the class object of CLSID_WbemLocator.
// Installed as that class's in-process server, the provider answers every
// WMI client of the prefix; Wine's other COM classes stay Wine's own.
#include "com_object.h"
#include "locator.h"

#include <new>

namespace corvantix::test_wmi {
namespace {

class LocatorFactory : public ComObject<IClassFactory, IID_IClassFactory> {
public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID iid,
                                           void **object) override {
    if (!object)
      return E_POINTER;
    *object = nullptr;
    if (outer)
      return CLASS_E_NOAGGREGATION;
    IWbemLocator *locator = nullptr;
    try {
      locator = new_locator();
    } catch (const std::bad_alloc &) {
      return E_OUTOFMEMORY;
    }
    HRESULT hr = locator->QueryInterface(iid, object);
    locator->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

} // namespace
} // namespace corvantix::test_wmi

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
    DllGetClassObject(REFCLSID clsid, REFIID iid, void **object) {
  if (!object)
    return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_WbemLocator))
    return CLASS_E_CLASSNOTAVAILABLE;
  auto *factory = new (std::nothrow) corvantix::test_wmi::LocatorFactory;
  if (!factory)
    return E_OUTOFMEMORY;
  HRESULT hr = factory->QueryInterface(iid, object);
  factory->Release();
  return hr;
}

// Its objects hold no reference to the module, so it stays loaded.
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return S_FALSE;
}
