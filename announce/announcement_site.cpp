#include "announce/announcement_site.h"

#include <new>
#include <utility>

namespace vorn {

ComPtr<AnnouncementSite> AnnouncementSite::Create(HWND host)
{
    return ComPtr<AnnouncementSite>::Attach(new (std::nothrow) AnnouncementSite(host));
}

AnnouncementSite::AnnouncementSite(HWND host) : host_(host)
{
    settings_.locale = GetUserDefaultLCID();
}

HRESULT AnnouncementSite::QueryInterface(REFIID iid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IOleClientSite)
        *object = static_cast<IOleClientSite*>(this);
    else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceSite)
        *object = static_cast<IOleInPlaceSite*>(this);
    else if (iid == IID_IOleInPlaceUIWindow || iid == IID_IOleInPlaceFrame)
        *object = static_cast<IOleInPlaceFrame*>(this);
    else if (iid == IID_IDocHostUIHandler)
        *object = static_cast<IDocHostUIHandler*>(this);
    else if (iid == IID_IDispatch)
        *object = static_cast<IDispatch*>(this);
    else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

// User-interface thread only, so the count needs no interlocking.
ULONG AnnouncementSite::AddRef()
{
    return ++references_;
}

ULONG AnnouncementSite::Release()
{
    const ULONG left = --references_;
    if (left == 0)
        delete this;
    return left;
}

void AnnouncementSite::SetAmbientDispatch(IDispatch* ambient)
{
    if (ambient != nullptr)
        ambient->AddRef();
    ambient_.reset(ambient);
}

HRESULT AnnouncementSite::AttachControl(IOleObject* control)
{
    if (control == nullptr)
        return E_POINTER;
    DetachControl();
    control->AddRef();
    control_.reset(control);

    // Some controls (the browser among them) need their site before they initialise.
    DWORD misc = 0;
    if (FAILED(control->GetMiscStatus(DVASPECT_CONTENT, &misc)))
        misc = 0;
    const bool siteFirst = (misc & OLEMISC_SETCLIENTSITEFIRST) != 0;
    HRESULT hr = siteFirst ? control->SetClientSite(this) : S_OK;
    if (SUCCEEDED(hr)) {
        ComPtr<IPersistStreamInit> persist;
        if (SUCCEEDED(control->QueryInterface(IID_IPersistStreamInit, persist.put_void())) && persist)
            hr = persist->InitNew();
    }
    if (SUCCEEDED(hr) && !siteFirst)
        hr = control->SetClientSite(this);
    if (SUCCEEDED(hr)) {
        RECT area = ClientArea();
        hr = control->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, this, 0, host_, &area);
    }
    if (FAILED(hr))
        DetachControl();
    return hr;
}

ComPtr<IUnknown> AnnouncementSite::Control() const
{
    ComPtr<IUnknown> unknown;
    if (control_)
        control_->QueryInterface(IID_IUnknown, unknown.put_void());
    return unknown;
}

void AnnouncementSite::DetachControl()
{
    // The control calls back into this site while it shuts down (deactivation, the last releases of the site);
    // the members are cleared first and the site keeps itself alive until the end.
    AddRef();
    ComPtr<IOleObject> control = std::move(control_);
    ComPtr<IOleInPlaceObject> inPlace = std::move(inPlace_);
    active_.reset();
    uiActive_ = false;
    if (inPlace)
        inPlace->InPlaceDeactivate();
    if (control) {
        control->Close(OLECLOSE_NOSAVE);
        control->SetClientSite(nullptr);
    }
    inPlace_.reset();
    active_.reset();
    Release();
}

void AnnouncementSite::Resize()
{
    if (inPlace_) {
        const RECT area = ClientArea();
        inPlace_->SetObjectRects(&area, &area);
    }
}

void AnnouncementSite::Activate()
{
    if (control_ && !uiActive_) {
        RECT area = ClientArea();
        control_->DoVerb(OLEIVERB_UIACTIVATE, nullptr, this, 0, host_, &area);
    }
}

RECT AnnouncementSite::ClientArea() const
{
    RECT area{};
    GetClientRect(host_, &area);
    return area;
}

}
