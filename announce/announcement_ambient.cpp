#include "announce/announcement_ambient.h"

#include "announce/panel_settings.h"

#include <mshtmdid.h>

#include <new>

namespace vorn {

ComPtr<AnnouncementAmbient> AnnouncementAmbient::Create()
{
    return ComPtr<AnnouncementAmbient>::Attach(new (std::nothrow) AnnouncementAmbient());
}

HRESULT AnnouncementAmbient::QueryInterface(REFIID iid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
        *object = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

// The panel lives on the user-interface thread only, so the count needs no interlocking.
ULONG AnnouncementAmbient::AddRef()
{
    return ++references_;
}

ULONG AnnouncementAmbient::Release()
{
    const ULONG left = --references_;
    if (left == 0)
        delete this;
    return left;
}

HRESULT AnnouncementAmbient::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                                    UINT*)
{
    if (id != DISPID_AMBIENT_DLCONTROL || (flags & DISPATCH_PROPERTYGET) == 0)
        return DISP_E_MEMBERNOTFOUND;
    if (result == nullptr)
        return E_POINTER;
    VariantInit(result);
    result->vt = VT_I4;
    result->lVal = static_cast<LONG>(kDownloadControlFlags);
    return S_OK;
}

}
