#include "announce/host_window.h"

#include "base/unique_resource.h"

#include <iterator>

namespace vorn {

namespace {

constexpr int kSiteSlot = 0;

AnnouncementSite* SiteOf(HWND window)
{
    return reinterpret_cast<AnnouncementSite*>(GetWindowLongPtrW(window, kSiteSlot));
}

LRESULT OnCreate(HWND window)
{
    ComPtr<AnnouncementSite> site = AnnouncementSite::Create(window);
    if (!site)
        return -1;
    SetWindowLongPtrW(window, kSiteSlot, reinterpret_cast<LONG_PTR>(site.detach()));
    return 0;
}

// Fills the area the control does not cover (all of it before the page is drawn) in the host's background.
void EraseBackground(HWND window, HDC dc)
{
    const AnnouncementSite* site = SiteOf(window);
    UniqueBrush brush(CreateSolidBrush(site != nullptr ? site->Settings().backColor : RGB(0, 0, 0)));
    RECT area{};
    GetClientRect(window, &area);
    if (brush)
        FillRect(dc, &area, brush.get());
}

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_SIZE:
        if (AnnouncementSite* site = SiteOf(window))
            site->Resize();
        return 0;
    case WM_SETFOCUS:
        if (AnnouncementSite* site = SiteOf(window))
            site->Activate();
        return 0;
    case WM_ERASEBKGND:
        EraseBackground(window, reinterpret_cast<HDC>(wParam));
        return 1;
    case WM_DESTROY:
        // The control goes while its window still stands; the site itself lives to the window's last message.
        if (AnnouncementSite* site = SiteOf(window))
            site->DetachControl();
        return 0;
    case WM_NCDESTROY:
        if (AnnouncementSite* site = SiteOf(window)) {
            SetWindowLongPtrW(window, kSiteSlot, 0);
            site->Release();
        }
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}

bool RegisterAnnouncementHostClass(HINSTANCE instance)
{
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof(existing);
    if (GetClassInfoExW(instance, kAnnouncementHostClass, &existing))
        return true;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = HostWindowProc;
    wc.cbWndExtra = sizeof(AnnouncementSite*);
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kAnnouncementHostClass;
    return RegisterClassExW(&wc) != 0;
}

void UnregisterAnnouncementHostClass(HINSTANCE instance)
{
    UnregisterClassW(kAnnouncementHostClass, instance);
}

bool IsAnnouncementHost(HWND window)
{
    if (window == nullptr || !IsWindow(window))
        return false;
    // Only this process's windows: the site pointer means nothing anywhere else.
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != GetCurrentProcessId())
        return false;
    wchar_t className[64] = {};
    GetClassNameW(window, className, static_cast<int>(std::size(className)));
    return lstrcmpW(className, kAnnouncementHostClass) == 0;
}

ComPtr<AnnouncementSite> HostSite(HWND window)
{
    AnnouncementSite* site = IsAnnouncementHost(window) ? SiteOf(window) : nullptr;
    if (site != nullptr)
        site->AddRef();
    return ComPtr<AnnouncementSite>::Attach(site);
}

}
