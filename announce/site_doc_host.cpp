// The site's document-host and ambient roles: what the browser control asks its container about the page's
// presentation (flags, context menu, its own menus and toolbars, drop target) and about ambient properties.

#include "announce/announcement_site.h"

namespace vorn {

HRESULT AnnouncementSite::ShowContextMenu(DWORD, POINT*, IUnknown*, IDispatch*)
{
    // S_OK tells the browser the host has shown the menu itself, so when menus are not allowed none appears.
    return settings_.allowContextMenu ? S_FALSE : S_OK;
}

HRESULT AnnouncementSite::GetHostInfo(DOCHOSTUIINFO* info)
{
    if (info == nullptr)
        return E_POINTER;
    info->dwFlags = settings_.docHostFlags;
    info->dwDoubleClick = DOCHOSTUIDBLCLK_DEFAULT;
    info->pchHostCss = nullptr;
    info->pchHostNS = nullptr;
    return S_OK;
}

HRESULT AnnouncementSite::ShowUI(DWORD, IOleInPlaceActiveObject*, IOleCommandTarget*, IOleInPlaceFrame*,
                                 IOleInPlaceUIWindow*)
{
    // S_OK: the host shows its own user interface, which keeps the browser's menus and toolbars away.
    return settings_.allowShowUI ? S_FALSE : S_OK;
}

HRESULT AnnouncementSite::HideUI()
{
    return S_OK;
}

HRESULT AnnouncementSite::UpdateUI()
{
    return S_OK;
}

HRESULT AnnouncementSite::OnDocWindowActivate(BOOL)
{
    return S_OK;
}

HRESULT AnnouncementSite::OnFrameWindowActivate(BOOL)
{
    return S_OK;
}

HRESULT AnnouncementSite::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL)
{
    return S_OK;
}

HRESULT AnnouncementSite::TranslateAccelerator(LPMSG, const GUID*, DWORD)
{
    return S_FALSE;
}

HRESULT AnnouncementSite::GetOptionKeyPath(LPOLESTR* key, DWORD)
{
    if (key == nullptr)
        return E_POINTER;
    *key = nullptr;
    return S_FALSE;
}

HRESULT AnnouncementSite::GetDropTarget(IDropTarget*, IDropTarget** target)
{
    if (target == nullptr)
        return E_POINTER;
    *target = nullptr;
    return E_NOTIMPL;
}

HRESULT AnnouncementSite::GetExternal(IDispatch** external)
{
    if (external == nullptr)
        return E_POINTER;
    *external = nullptr;
    return S_FALSE;
}

HRESULT AnnouncementSite::TranslateUrl(DWORD, LPWSTR, LPWSTR* translated)
{
    if (translated == nullptr)
        return E_POINTER;
    *translated = nullptr;
    return S_FALSE;
}

HRESULT AnnouncementSite::FilterDataObject(IDataObject*, IDataObject** filtered)
{
    if (filtered == nullptr)
        return E_POINTER;
    *filtered = nullptr;
    return S_FALSE;
}

HRESULT AnnouncementSite::Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                                 VARIANT* result, EXCEPINFO* exception, UINT* argumentError)
{
    // The panel's ambient object is asked first; whatever it does not know, the host answers itself.
    if (ambient_) {
        const HRESULT hr = ambient_->Invoke(id, iid, locale, flags, params, result, exception, argumentError);
        if (SUCCEEDED(hr))
            return hr;
    }
    VARIANT answer;
    VariantInit(&answer);
    if (!AnswerHostAmbient(id, flags, settings_, answer))
        return DISP_E_MEMBERNOTFOUND;
    if (result == nullptr)
        return E_POINTER;
    *result = answer;
    return S_OK;
}

}
