#include "announce/announcement_view.h"

#include "announce/host_window.h"
#include "base/com_ptr.h"

#include <ole2.h>

namespace {

// The panel host that holds `window` (the host itself or any window inside it), or null.
HWND EnclosingHost(HWND window)
{
    for (HWND current = window; current != nullptr; current = GetParent(current)) {
        if (vorn::IsAnnouncementHost(current))
            return current;
    }
    return nullptr;
}

}

// Keys for the page (Tab between links, arrows and page keys for scrolling, copy) reach the browser before the
// message loop translates them; only what the browser does not take goes on to the window.
bool PreTranslateAnnouncementMessage(MSG& msg)
{
    HWND host = EnclosingHost(msg.hwnd);
    if (host == nullptr)
        return false;
    const ComPtr<vorn::AnnouncementSite> site = vorn::HostSite(host);
    const ComPtr<IUnknown> control = site ? site->Control() : ComPtr<IUnknown>();
    if (!control)
        return false;
    ComPtr<IOleInPlaceActiveObject> active;
    if (FAILED(control->QueryInterface(IID_IOleInPlaceActiveObject, active.put_void())) || !active)
        return false;
    return active->TranslateAccelerator(&msg) == S_OK;
}
