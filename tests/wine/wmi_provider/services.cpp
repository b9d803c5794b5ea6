#include "services.h"

#include "com_object.h"
#include "enumerator.h"
#include "wql.h"

namespace corvantix::test_wmi {
namespace {

class Services : public ComObject<IWbemServices, IID_IWbemServices> {
public:
  explicit Services(std::shared_ptr<const DiskInventory> inventory)
      : inventory_(std::move(inventory)) {}

  HRESULT STDMETHODCALLTYPE
  CreateInstanceEnum(const BSTR class_name, LONG flags, IWbemContext *,
                     IEnumWbemClassObject **found) override {
    if (!class_name || !found)
      return WBEM_E_INVALID_PARAMETER;
    Query query;
    query.class_name = class_name;
    return run(query, flags, found);
  }

  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR text,
                                      LONG flags, IWbemContext *,
                                      IEnumWbemClassObject **found) override {
    if (!language || !text || !found)
      return WBEM_E_INVALID_PARAMETER;
    if (!same_name(language, L"WQL"))
      return WBEM_E_INVALID_QUERY_TYPE;
    std::optional<Query> query = parse_wql(text);
    if (!query)
      return WBEM_E_INVALID_QUERY;
    return run(*query, flags, found);
  }

  // The rest: nothing else is asked of the disk inventory.
  REFUSE(WBEM_E_NOT_SUPPORTED, OpenNamespace, const BSTR, LONG, IWbemContext *,
         IWbemServices **, IWbemCallResult **)
  REFUSE(WBEM_E_NOT_SUPPORTED, CancelAsyncCall, IWbemObjectSink *)
  REFUSE(WBEM_E_NOT_SUPPORTED, QueryObjectSink, LONG, IWbemObjectSink **)
  REFUSE(WBEM_E_NOT_SUPPORTED, GetObject, const BSTR, LONG, IWbemContext *,
         IWbemClassObject **, IWbemCallResult **)
  REFUSE(WBEM_E_NOT_SUPPORTED, GetObjectAsync, const BSTR, LONG, IWbemContext *,
         IWbemObjectSink *)
  REFUSE(WBEM_E_ACCESS_DENIED, PutClass, IWbemClassObject *, LONG,
         IWbemContext *, IWbemCallResult **)
  REFUSE(WBEM_E_ACCESS_DENIED, PutClassAsync, IWbemClassObject *, LONG,
         IWbemContext *, IWbemObjectSink *)
  REFUSE(WBEM_E_ACCESS_DENIED, DeleteClass, const BSTR, LONG, IWbemContext *,
         IWbemCallResult **)
  REFUSE(WBEM_E_ACCESS_DENIED, DeleteClassAsync, const BSTR, LONG,
         IWbemContext *, IWbemObjectSink *)
  REFUSE(WBEM_E_NOT_SUPPORTED, CreateClassEnum, const BSTR, LONG,
         IWbemContext *, IEnumWbemClassObject **)
  REFUSE(WBEM_E_NOT_SUPPORTED, CreateClassEnumAsync, const BSTR, LONG,
         IWbemContext *, IWbemObjectSink *)
  REFUSE(WBEM_E_ACCESS_DENIED, PutInstance, IWbemClassObject *, LONG,
         IWbemContext *, IWbemCallResult **)
  REFUSE(WBEM_E_ACCESS_DENIED, PutInstanceAsync, IWbemClassObject *, LONG,
         IWbemContext *, IWbemObjectSink *)
  REFUSE(WBEM_E_ACCESS_DENIED, DeleteInstance, const BSTR, LONG, IWbemContext *,
         IWbemCallResult **)
  REFUSE(WBEM_E_ACCESS_DENIED, DeleteInstanceAsync, const BSTR, LONG,
         IWbemContext *, IWbemObjectSink *)
  REFUSE(WBEM_E_NOT_SUPPORTED, CreateInstanceEnumAsync, const BSTR, LONG,
         IWbemContext *, IWbemObjectSink *)
  REFUSE(WBEM_E_NOT_SUPPORTED, ExecQueryAsync, const BSTR, const BSTR, LONG,
         IWbemContext *, IWbemObjectSink *)
  REFUSE(WBEM_E_NOT_SUPPORTED, ExecNotificationQuery, const BSTR, const BSTR,
         LONG, IWbemContext *, IEnumWbemClassObject **)
  REFUSE(WBEM_E_NOT_SUPPORTED, ExecNotificationQueryAsync, const BSTR,
         const BSTR, LONG, IWbemContext *, IWbemObjectSink *)
  REFUSE(WBEM_E_NOT_SUPPORTED, ExecMethod, const BSTR, const BSTR, LONG,
         IWbemContext *, IWbemClassObject *, IWbemClassObject **,
         IWbemCallResult **)
  REFUSE(WBEM_E_NOT_SUPPORTED, ExecMethodAsync, const BSTR, const BSTR, LONG,
         IWbemContext *, IWbemClassObject *, IWbemObjectSink *)

private:
  HRESULT run(const Query &query, LONG flags,
              IEnumWbemClassObject **found) const {
    *found = nullptr;
    try {
      QueryResults results;
      results.inventory = inventory_;
      HRESULT hr = query.kind == Query::Select ? select(query, results)
                                               : associators(query, results);
      if (FAILED(hr))
        return hr;
      results.forward_only = flags & WBEM_FLAG_FORWARD_ONLY;
      // A semisynchronous call returns at once; a synchronous one has
      // waited for its results.
      results.ready_at = GetTickCount64() + inventory_->wait_ms();
      if (!(flags & WBEM_FLAG_RETURN_IMMEDIATELY)) {
        Sleep(inventory_->wait_ms());
        results.ready_at = 0;
      }
      *found = new_enumerator(std::move(results));
      return WBEM_S_NO_ERROR;
    } catch (const std::bad_alloc &) {
      return WBEM_E_OUT_OF_MEMORY;
    }
  }

  HRESULT select(const Query &query, QueryResults &results) const {
    if (!DiskInventory::has_class(query.class_name))
      return WBEM_E_INVALID_CLASS;
    results.objects = inventory_->instances(query.class_name);
    return WBEM_S_NO_ERROR;
  }

  HRESULT associators(const Query &query, QueryResults &results) const {
    std::optional<ObjectPath> path = parse_object_path(query.object_path);
    if (!path)
      return WBEM_E_INVALID_OBJECT_PATH;
    if (!query.result_class.empty() &&
        !DiskInventory::has_class(query.result_class))
      return WBEM_E_INVALID_CLASS;
    const Instance *object =
        inventory_->find(path->class_name, path->device_id);
    if (!object)
      return WBEM_E_NOT_FOUND;
    results.objects = inventory_->associators(*object, query.result_class);
    return WBEM_S_NO_ERROR;
  }

  std::shared_ptr<const DiskInventory> inventory_;
};

} // namespace

IWbemServices *new_services(std::shared_ptr<const DiskInventory> inventory) {
  return new Services(std::move(inventory));
}

} // namespace corvantix::test_wmi
