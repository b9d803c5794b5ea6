#include "enumerator.h"

#include "class_object.h"
#include "com_object.h"

#include <mutex>

namespace corvantix::test_wmi {
namespace {

class Enumerator
    : public ComObject<IEnumWbemClassObject, IID_IEnumWbemClassObject> {
public:
  explicit Enumerator(QueryResults results) : results_(std::move(results)) {}

  HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count,
                                 IWbemClassObject **objects,
                                 ULONG *returned) override {
    if (!objects || !returned ||
        (timeout < 0 && timeout != LONG(WBEM_INFINITE)))
      return WBEM_E_INVALID_PARAMETER;
    *returned = 0;
    if (!wait_until_ready(timeout))
      return WBEM_S_TIMEDOUT;
    std::lock_guard lock(mutex_);
    try {
      for (; *returned < count && at_ < results_.objects.size(); ++at_)
        objects[(*returned)++] =
            new_class_object(results_.inventory, *results_.objects[at_]);
    } catch (const std::bad_alloc &) {
      return WBEM_E_OUT_OF_MEMORY;
    }
    return *returned == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }

  HRESULT STDMETHODCALLTYPE Skip(LONG timeout, ULONG count) override {
    if (timeout < 0 && timeout != LONG(WBEM_INFINITE))
      return WBEM_E_INVALID_PARAMETER;
    if (!wait_until_ready(timeout))
      return WBEM_S_TIMEDOUT;
    std::lock_guard lock(mutex_);
    std::size_t left = results_.objects.size() - at_;
    at_ += std::min<std::size_t>(count, left);
    return count <= left ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }

  HRESULT STDMETHODCALLTYPE Reset() override {
    if (results_.forward_only)
      return WBEM_E_INVALID_OPERATION;
    std::lock_guard lock(mutex_);
    at_ = 0;
    return WBEM_S_NO_ERROR;
  }

  REFUSE(WBEM_E_NOT_SUPPORTED, NextAsync, ULONG, IWbemObjectSink *)
  REFUSE(WBEM_E_NOT_SUPPORTED, Clone, IEnumWbemClassObject **)

private:
  // Waits up to `timeout` milliseconds for the results; true once ready.
  bool wait_until_ready(LONG timeout) const {
    ULONGLONG now = GetTickCount64();
    if (now >= results_.ready_at)
      return true;
    ULONGLONG left = results_.ready_at - now;
    if (timeout == LONG(WBEM_INFINITE) || ULONGLONG(timeout) >= left) {
      Sleep(DWORD(left));
      return true;
    }
    Sleep(DWORD(timeout));
    return false;
  }

  const QueryResults results_;
  std::mutex mutex_;
  std::size_t at_ = 0;
};

} // namespace

IEnumWbemClassObject *new_enumerator(QueryResults results) {
  return new Enumerator(std::move(results));
}

} // namespace corvantix::test_wmi
