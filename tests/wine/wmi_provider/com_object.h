// Reference counting and IUnknown for the provider's COM objects, which
// are free-threaded: their data never changes after construction, and
// what does change is guarded by the object itself.
#pragma once

#include <unknwn.h>
#include <windows.h>

namespace corvantix::test_wmi {

template <typename Interface, const IID &kIid>
class ComObject : public Interface {
public:
  ComObject() = default;
  ComObject(const ComObject &) = delete;
  ComObject &operator=(const ComObject &) = delete;
  virtual ~ComObject() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override {
    if (!object)
      return E_POINTER;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, kIid)) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<Interface *>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return ULONG(InterlockedIncrement(&references_));
  }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = InterlockedDecrement(&references_);
    if (left == 0)
      delete this;
    return ULONG(left);
  }

private:
  LONG references_ = 1;
};

} // namespace corvantix::test_wmi

/// A method of the interface that the provider does not offer, answered
/// with `code` (WBEM_E_NOT_SUPPORTED, or WBEM_E_ACCESS_DENIED for changes).
#define REFUSE(code, method, ...)                                              \
  HRESULT STDMETHODCALLTYPE method(__VA_ARGS__) override { return code; }
