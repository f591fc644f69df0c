#pragma once

#include "base/com_ptr.h"

#include <windows.h>

#include <exdisp.h>
#include <ole2.h>

// The panel's host window and its browser (one reference held); both null when there is no panel.
extern HWND announcementHost;
extern IWebBrowser2* announcementBrowser;

// Offers a keystroke addressed to the panel to the browser first; true when the browser consumed it.
bool PreTranslateAnnouncementMessage(MSG& msg);

// Builds the panel in `rect` of `parent`; the host window, or null when the panel cannot be built.
HWND CreateAnnouncementView(HWND parent, const RECT& rect);
// Stops the browser, destroys the host window if it still stands and releases the browser.
void DestroyAnnouncementView();

namespace vorn {

// Where the panel's parts come from. The launcher uses the system's browser control and its own executable.
struct AnnouncementSource {
    // Creates the browser control, not yet sited; a failure means this system cannot show the page.
    HRESULT (*createControl)(ComPtr<IOleObject>& control);
    // Reads the executable's path into `buffer` and returns what GetModuleFileNameW returns.
    DWORD (*moduleFileName)(wchar_t* buffer, DWORD capacity);
};

AnnouncementSource SystemAnnouncementSource();

// CreateAnnouncementView with the parts taken from `source`.
HWND BuildAnnouncementView(HWND parent, const RECT& rect, const AnnouncementSource& source);

}
