#include "tests/announce/fake_control.h"

#include <utility>

HRESULT FakeControl::QueryInterface(REFIID iid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IOleObject)
        *object = static_cast<IOleObject*>(this);
    else if (iid == IID_IOleInPlaceObject || iid == IID_IOleWindow)
        *object = static_cast<IOleInPlaceObject*>(this);
    else if (iid == IID_IOleInPlaceActiveObject)
        *object = static_cast<IOleInPlaceActiveObject*>(this);
    else if (iid == IID_IPersistStreamInit)
        *object = static_cast<IPersistStreamInit*>(this);
    else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

HRESULT FakeControl::SetClientSite(IOleClientSite* site)
{
    calls_.push_back(site != nullptr ? "SetClientSite" : "SetClientSite(null)");
    if (site != nullptr)
        site->AddRef();
    site_.reset(site);
    return S_OK;
}

HRESULT FakeControl::GetClientSite(IOleClientSite** site)
{
    if (site == nullptr)
        return E_POINTER;
    *site = site_.get();
    if (*site != nullptr)
        (*site)->AddRef();
    return S_OK;
}

HRESULT FakeControl::Close(DWORD option)
{
    calls_.push_back(option == OLECLOSE_NOSAVE ? "Close(nosave)" : "Close");
    return S_OK;
}

// In-place activation the way a windowed control does it: it asks the site whether it may, announces it, and
// takes its frame and position from the site.
HRESULT FakeControl::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND parent, LPCRECT position)
{
    if (verb != OLEIVERB_INPLACEACTIVATE) {
        calls_.push_back("DoVerb(" + std::to_string(verb) + ")");
        return S_OK;
    }
    calls_.push_back("DoVerb(inplace)");
    activationWindow_ = parent;
    if (position != nullptr)
        objectRect_ = *position;
    if (FAILED(activationResult_))
        return activationResult_;
    if (site == nullptr || FAILED(site->QueryInterface(IID_IOleInPlaceSite, inPlaceSite_.put_void())))
        return E_UNEXPECTED;
    if (inPlaceSite_->CanInPlaceActivate() != S_OK || FAILED(inPlaceSite_->OnInPlaceActivate()))
        return E_FAIL;
    IOleInPlaceUIWindow* document = nullptr;
    RECT clip{};
    OLEINPLACEFRAMEINFO info{sizeof(info), FALSE, nullptr, nullptr, 0};
    const HRESULT hr = inPlaceSite_->GetWindowContext(frame_.put(), &document, &contextRect_, &clip, &info);
    if (document != nullptr)
        document->Release();
    return hr;
}

HRESULT FakeControl::GetMiscStatus(DWORD, DWORD* status)
{
    if (status == nullptr)
        return E_POINTER;
    *status = miscStatus_;
    return S_OK;
}

HRESULT FakeControl::InPlaceDeactivate()
{
    calls_.push_back("InPlaceDeactivate");
    frame_.reset();
    if (inPlaceSite_) {
        const ComPtr<IOleInPlaceSite> site = std::move(inPlaceSite_);
        site->OnInPlaceDeactivate();
    }
    return S_OK;
}

HRESULT FakeControl::SetObjectRects(LPCRECT position, LPCRECT)
{
    if (position == nullptr)
        return E_POINTER;
    calls_.push_back("SetObjectRects");
    objectRect_ = *position;
    return S_OK;
}

HRESULT FakeControl::InitNew()
{
    calls_.push_back("InitNew");
    return S_OK;
}

HRESULT FakeControl::TranslateAccelerator(LPMSG message)
{
    calls_.push_back("TranslateAccelerator");
    return message != nullptr && message->message == WM_KEYDOWN && message->wParam == VK_TAB ? S_OK : S_FALSE;
}
