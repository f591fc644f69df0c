#pragma once

#include <oaidl.h>

namespace vorn {

// The type-information half of IDispatch for the panel's objects, which have no type library and are reached by
// DISPID only: no type information, and every name unknown (each id set to DISPID_UNKNOWN). An object derives
// from this instead of IDispatch and implements Invoke and IUnknown.
class NamelessDispatch : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) final;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) final;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) final;

protected:
    ~NamelessDispatch() = default;
};

}
