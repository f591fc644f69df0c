// The site's client-site, in-place-site and frame roles: the panel is a fixed child window, so it has no
// document to save, no menus, toolbars or status bar to share, and keeps the control over its whole client area.

#include "announce/announcement_site.h"

namespace vorn {

HRESULT AnnouncementSite::SaveObject()
{
    return E_NOTIMPL;
}

HRESULT AnnouncementSite::GetMoniker(DWORD, DWORD, IMoniker** moniker)
{
    if (moniker != nullptr)
        *moniker = nullptr;
    return E_NOTIMPL;
}

HRESULT AnnouncementSite::GetContainer(IOleContainer** container)
{
    if (container == nullptr)
        return E_POINTER;
    *container = nullptr;
    return E_NOINTERFACE;
}

HRESULT AnnouncementSite::ShowObject()
{
    return S_OK;
}

HRESULT AnnouncementSite::OnShowWindow(BOOL)
{
    return S_OK;
}

HRESULT AnnouncementSite::RequestNewObjectLayout()
{
    return E_NOTIMPL;
}

HRESULT AnnouncementSite::GetWindow(HWND* window)
{
    if (window == nullptr)
        return E_POINTER;
    *window = host_;
    return S_OK;
}

HRESULT AnnouncementSite::ContextSensitiveHelp(BOOL)
{
    return E_NOTIMPL;
}

HRESULT AnnouncementSite::CanInPlaceActivate()
{
    return S_OK;
}

HRESULT AnnouncementSite::OnInPlaceActivate()
{
    if (!control_)
        return E_UNEXPECTED;
    return control_->QueryInterface(IID_IOleInPlaceObject, inPlace_.put_void());
}

HRESULT AnnouncementSite::OnUIActivate()
{
    uiActive_ = true;
    return S_OK;
}

HRESULT AnnouncementSite::GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                           RECT* position, RECT* clip, OLEINPLACEFRAMEINFO* frameInfo)
{
    if (frame == nullptr || document == nullptr || position == nullptr || clip == nullptr || frameInfo == nullptr)
        return E_POINTER;
    // One object is both the frame and the document window; the document slot stays empty to say so.
    AddRef();
    *frame = static_cast<IOleInPlaceFrame*>(this);
    *document = nullptr;
    *position = ClientArea();
    *clip = *position;
    frameInfo->fMDIApp = FALSE;
    frameInfo->hwndFrame = GetParent(host_);
    frameInfo->haccel = nullptr;
    frameInfo->cAccelEntries = 0;
    return S_OK;
}

HRESULT AnnouncementSite::Scroll(SIZE)
{
    return E_NOTIMPL;
}

HRESULT AnnouncementSite::OnUIDeactivate(BOOL)
{
    uiActive_ = false;
    return S_OK;
}

HRESULT AnnouncementSite::OnInPlaceDeactivate()
{
    uiActive_ = false;
    inPlace_.reset();
    return S_OK;
}

HRESULT AnnouncementSite::DiscardUndoState()
{
    return S_OK;
}

HRESULT AnnouncementSite::DeactivateAndUndo()
{
    if (inPlace_)
        inPlace_->UIDeactivate();
    return S_OK;
}

HRESULT AnnouncementSite::OnPosRectChange(const RECT* position)
{
    if (position == nullptr)
        return E_POINTER;
    if (inPlace_)
        inPlace_->SetObjectRects(position, position);
    return S_OK;
}

HRESULT AnnouncementSite::GetBorder(RECT*)
{
    return INPLACE_E_NOTOOLSPACE;
}

HRESULT AnnouncementSite::RequestBorderSpace(const BORDERWIDTHS*)
{
    return INPLACE_E_NOTOOLSPACE;
}

HRESULT AnnouncementSite::SetBorderSpace(const BORDERWIDTHS*)
{
    return INPLACE_E_NOTOOLSPACE;
}

HRESULT AnnouncementSite::SetActiveObject(IOleInPlaceActiveObject* active, LPCOLESTR)
{
    if (active != nullptr)
        active->AddRef();
    active_.reset(active);
    return S_OK;
}

HRESULT AnnouncementSite::InsertMenus(HMENU, OLEMENUGROUPWIDTHS*)
{
    return S_OK;
}

HRESULT AnnouncementSite::SetMenu(HMENU, HOLEMENU, HWND)
{
    return S_OK;
}

HRESULT AnnouncementSite::RemoveMenus(HMENU)
{
    return S_OK;
}

HRESULT AnnouncementSite::SetStatusText(LPCOLESTR)
{
    return S_OK;
}

HRESULT AnnouncementSite::EnableModeless(BOOL)
{
    return S_OK;
}

HRESULT AnnouncementSite::TranslateAccelerator(MSG*, WORD)
{
    return S_FALSE;
}

}
