#pragma once

#include <oaidl.h>

namespace vorn {

// The type-information half of IDispatch for the panel's objects, which have no type library and are reached by
// DISPID only: no type information, and every name unknown (each id set to DISPID_UNKNOWN).
HRESULT NoTypeInfoCount(UINT* count);
HRESULT NoTypeInfo();
HRESULT UnknownNames(UINT count, DISPID* ids);

}
