#include "class_object.h"

#include "com_object.h"

namespace corvantix::test_wmi {
namespace {

class ClassObject : public ComObject<IWbemClassObject, IID_IWbemClassObject> {
public:
  ClassObject(std::shared_ptr<const DiskInventory> inventory,
              const Instance &object)
      : inventory_(std::move(inventory)), object_(object) {}

  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT *value,
                                CIMTYPE *type, LONG *flavor) override {
    if (!name || flags != 0)
      return WBEM_E_INVALID_PARAMETER;
    const Property *property = object_.find(name);
    if (!property)
      return WBEM_E_NOT_FOUND;
    if (type)
      *type = property->type;
    if (flavor)
      *flavor = property->name.compare(0, 2, L"__") == 0
                    ? WBEM_FLAVOR_ORIGIN_SYSTEM
                    : WBEM_FLAVOR_ORIGIN_PROPAGATED;
    if (value)
      return value_of(*property, *value);
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR ancestor) override {
    return ancestor && same_name(ancestor, object_.class_name) ? WBEM_S_NO_ERROR
                                                               : WBEM_S_FALSE;
  }

  // The rest of the interface: no caller of this provider changes objects
  // or reads their schema.
  REFUSE(WBEM_E_NOT_SUPPORTED, GetQualifierSet, IWbemQualifierSet **)
  REFUSE(WBEM_E_ACCESS_DENIED, Put, LPCWSTR, LONG, VARIANT *, CIMTYPE)
  REFUSE(WBEM_E_ACCESS_DENIED, Delete, LPCWSTR)
  REFUSE(WBEM_E_NOT_SUPPORTED, GetNames, LPCWSTR, LONG, VARIANT *, SAFEARRAY **)
  REFUSE(WBEM_E_NOT_SUPPORTED, BeginEnumeration, LONG)
  REFUSE(WBEM_E_NOT_SUPPORTED, Next, LONG, BSTR *, VARIANT *, CIMTYPE *, LONG *)
  REFUSE(WBEM_E_NOT_SUPPORTED, EndEnumeration)
  REFUSE(WBEM_E_NOT_SUPPORTED, GetPropertyQualifierSet, LPCWSTR,
         IWbemQualifierSet **)
  REFUSE(WBEM_E_NOT_SUPPORTED, Clone, IWbemClassObject **)
  REFUSE(WBEM_E_NOT_SUPPORTED, GetObjectText, LONG, BSTR *)
  REFUSE(WBEM_E_NOT_SUPPORTED, SpawnDerivedClass, LONG, IWbemClassObject **)
  REFUSE(WBEM_E_NOT_SUPPORTED, SpawnInstance, LONG, IWbemClassObject **)
  REFUSE(WBEM_E_NOT_SUPPORTED, CompareTo, LONG, IWbemClassObject *)
  REFUSE(WBEM_E_NOT_SUPPORTED, GetPropertyOrigin, LPCWSTR, BSTR *)
  REFUSE(WBEM_E_NOT_SUPPORTED, GetMethod, LPCWSTR, LONG, IWbemClassObject **,
         IWbemClassObject **)
  REFUSE(WBEM_E_ACCESS_DENIED, PutMethod, LPCWSTR, LONG, IWbemClassObject *,
         IWbemClassObject *)
  REFUSE(WBEM_E_ACCESS_DENIED, DeleteMethod, LPCWSTR)
  REFUSE(WBEM_E_NOT_SUPPORTED, BeginMethodEnumeration, LONG)
  REFUSE(WBEM_E_NOT_SUPPORTED, NextMethod, LONG, BSTR *, IWbemClassObject **,
         IWbemClassObject **)
  REFUSE(WBEM_E_NOT_SUPPORTED, EndMethodEnumeration)
  REFUSE(WBEM_E_NOT_SUPPORTED, GetMethodQualifierSet, LPCWSTR,
         IWbemQualifierSet **)
  REFUSE(WBEM_E_NOT_SUPPORTED, GetMethodOrigin, LPCWSTR, BSTR *)

private:
  HRESULT value_of(const Property &property, VARIANT &value) const {
    VariantInit(&value);
    if (property.null) {
      value.vt = VT_NULL;
    } else if (property.type == CIM_BOOLEAN) {
      value.vt = VT_BOOL;
      value.boolVal = property.number ? VARIANT_TRUE : VARIANT_FALSE;
    } else if (property.type == CIM_UINT32) {
      value.vt = VT_I4;
      value.lVal = property.number;
    } else {
      value.vt = VT_BSTR;
      value.bstrVal = SysAllocString(property.text.c_str());
      if (!value.bstrVal)
        return WBEM_E_OUT_OF_MEMORY;
    }
    return WBEM_S_NO_ERROR;
  }

  std::shared_ptr<const DiskInventory> inventory_;
  const Instance &object_; ///< kept by the inventory
};

} // namespace

IWbemClassObject *
new_class_object(std::shared_ptr<const DiskInventory> inventory,
                 const Instance &object) {
  return new ClassObject(std::move(inventory), object);
}

} // namespace corvantix::test_wmi
