#include "announce/announcement_view.h"

#include "announce/announcement_address.h"
#include "announce/announcement_ambient.h"
#include "announce/host_window.h"
#include "announce/panel_settings.h"
#include "base/unique_resource.h"

#include <string>

namespace {

constexpr int kHostControlId = 207;
constexpr DWORD kHostStyle = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
constexpr wchar_t kHostText[] = L"游戏公告";

// A VARIANT cleared on every path.
class ScopedVariant {
public:
    ScopedVariant() { VariantInit(&value_); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;
    ~ScopedVariant() { VariantClear(&value_); }
    VARIANT* get() { return &value_; }

private:
    VARIANT value_;
};

HWND CreateHostWindow(HWND parent, const RECT& rect, HINSTANCE instance)
{
    return CreateWindowExW(0, vorn::kAnnouncementHostClass, L"", kHostStyle, rect.left, rect.top,
                           rect.right - rect.left, rect.bottom - rect.top, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(kHostControlId)), instance, nullptr);
}

// The panel's ambient settings on the host: its own ambient object in front, then the host's values. Only a
// missing ambient object fails the panel.
bool ApplyHostSettings(vorn::AnnouncementSite& site)
{
    const ComPtr<vorn::AnnouncementAmbient> ambient = vorn::AnnouncementAmbient::Create();
    if (!ambient)
        return false;
    site.SetAmbientDispatch(ambient.get());
    site.SetBackColor(RGB(0, 0, 0));
    site.SetDocHostFlags(vorn::kDocHostFlags);
    site.SetAllowContextMenu(false);
    site.SetAllowShowUI(false);
    return true;
}

bool Navigate(IWebBrowser2& browser, const std::wstring& address)
{
    ScopedVariant url;
    url.get()->vt = VT_BSTR;
    url.get()->bstrVal = SysAllocStringLen(address.data(), static_cast<UINT>(address.size()));
    if (url.get()->bstrVal == nullptr)
        return false;
    ScopedVariant flags;
    ScopedVariant targetFrame;
    ScopedVariant postData;
    ScopedVariant headers;
    return SUCCEEDED(browser.Navigate2(url.get(), flags.get(), targetFrame.get(), postData.get(), headers.get()));
}

// The system's HTML document class: the engine that renders pages (and serves res: addresses) for the browser.
constexpr CLSID kHtmlDocumentClass = {0x25336920, 0x03f9, 0x11cf, {0x8f, 0xd0, 0x00, 0xaa, 0x00, 0x68, 0x6f, 0x13}};

HRESULT CreateSystemBrowser(ComPtr<IOleObject>& control)
{
    // The browser control can exist without a working HTML engine (a Windows compatibility layer without one,
    // say); it would then show an empty panel instead of the fallback text, so the engine must load as well.
    ComPtr<IClassFactory> engine;
    HRESULT hr = CoGetClassObject(kHtmlDocumentClass, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                  engine.put_void());
    if (FAILED(hr))
        return hr;
    CLSID browserClass{};
    hr = CLSIDFromProgID(L"Shell.Explorer.2", &browserClass);
    if (FAILED(hr))
        return hr;
    return CoCreateInstance(browserClass, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject, control.put_void());
}

DWORD ExecutableFileName(wchar_t* buffer, DWORD capacity)
{
    return GetModuleFileNameW(nullptr, buffer, capacity);
}

}

namespace vorn {

AnnouncementSource SystemAnnouncementSource()
{
    return {CreateSystemBrowser, ExecutableFileName};
}

AnnouncementView::~AnnouncementView()
{
    Destroy();
}

// Steps after the host window exists; any false leaves the clean-up to the caller.
bool AnnouncementView::FillHost(const AnnouncementSource& source)
{
    const ComPtr<AnnouncementSite> site = HostSite(host_);
    if (!site)
        return false;
    // The settings are in place before the control first asks for them.
    if (!ApplyHostSettings(*site.get()))
        return false;

    ComPtr<IOleObject> control;
    if (FAILED(source.createControl(control)) || !control)
        return false;
    if (FAILED(site->AttachControl(control.get())))
        return false;
    if (FAILED(control->QueryInterface(IID_IWebBrowser2, browser_.put_void())) || !browser_)
        return false;

    browser_->put_Silent(VARIANT_TRUE);
    browser_->put_RegisterAsDropTarget(VARIANT_FALSE);
    browser_->put_RegisterAsBrowser(VARIANT_FALSE);

    std::wstring path(kModulePathCapacity, L'\0');
    const DWORD copied = source.moduleFileName(path.data(), kModulePathCapacity);
    const std::optional<std::wstring> address = AnnouncementAddress(path.data(), copied);
    return address && Navigate(*browser_.get(), *address);
}

HWND AnnouncementView::Create(HWND parent, const RECT& rect)
{
    return Build(parent, rect, SystemAnnouncementSource());
}

HWND AnnouncementView::Build(HWND parent, const RECT& rect, const AnnouncementSource& source)
{
    Destroy();
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    if (!RegisterAnnouncementHostClass(instance))
        return nullptr;
    host_ = CreateHostWindow(parent, rect, instance);
    if (host_ == nullptr)
        return nullptr;
    if (!FillHost(source)) {
        Destroy();
        return nullptr;
    }
    SetWindowTextW(host_, kHostText);
    return host_;
}

void AnnouncementView::Destroy()
{
    if (browser_)
        browser_->Stop();
    // The parent may have destroyed the host already, and its handle may since name some other window.
    if (IsAnnouncementHost(host_))
        DestroyWindow(host_);
    browser_.reset();
    host_ = nullptr;
}

}
