#include "announce/nameless_dispatch.h"

namespace vorn {

HRESULT NoTypeInfoCount(UINT* count)
{
    if (count == nullptr)
        return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT NoTypeInfo()
{
    return E_NOTIMPL;
}

HRESULT UnknownNames(UINT count, DISPID* ids)
{
    if (ids != nullptr) {
        for (UINT i = 0; i < count; ++i)
            ids[i] = DISPID_UNKNOWN;
    }
    return DISP_E_UNKNOWNNAME;
}

}
