#include "announce/announcement_view.h"

#include "base/com_ptr.h"

#include <ole2.h>

// Keys for the page (Tab between links, arrows and page keys for scrolling, copy) reach the browser before the
// message loop translates them; only what the browser does not take goes on to the window.
bool PreTranslateAnnouncementMessage(MSG& msg)
{
    if (announcementBrowser == nullptr)
        return false;
    if (msg.hwnd != announcementHost && !IsChild(announcementHost, msg.hwnd))
        return false;
    ComPtr<IOleInPlaceActiveObject> active;
    if (FAILED(announcementBrowser->QueryInterface(IID_IOleInPlaceActiveObject, active.put_void())) || !active)
        return false;
    return active->TranslateAccelerator(&msg) == S_OK;
}
