#pragma once

#include "base/com_ptr.h"

#include <windows.h>

#include <exdisp.h>
#include <ole2.h>

// Offers a keystroke addressed to a panel (its host window or anything inside it) to that panel's browser
// first; true when the browser consumed it.
bool PreTranslateAnnouncementMessage(MSG& msg);

namespace vorn {

// Where the panel's parts come from. The launcher uses the system's browser control and its own executable.
struct AnnouncementSource {
    // Creates the browser control, not yet sited; a failure means this system cannot show the page.
    HRESULT (*createControl)(ComPtr<IOleObject>& control);
    // Reads the executable's path into `buffer` and returns what GetModuleFileNameW returns.
    DWORD (*moduleFileName)(wchar_t* buffer, DWORD capacity);
};

AnnouncementSource SystemAnnouncementSource();

// One announcement panel: its host window and its browser (one reference held), owned by whoever shows the
// panel. Both are null when there is no panel. It must end before the process's AnnouncementModule does.
class AnnouncementView {
public:
    AnnouncementView() = default;
    AnnouncementView(const AnnouncementView&) = delete;
    AnnouncementView& operator=(const AnnouncementView&) = delete;
    ~AnnouncementView();

    // Builds the panel in `rect` of `parent` from the system's parts; the host window, or null when the panel
    // cannot be built. A panel standing before is destroyed first.
    HWND Create(HWND parent, const RECT& rect);
    // Create with the parts taken from `source`.
    HWND Build(HWND parent, const RECT& rect, const AnnouncementSource& source);
    // Stops the browser, destroys the host window if it still stands and releases the browser.
    void Destroy();

    HWND host() const { return host_; }
    IWebBrowser2* browser() const { return browser_.get(); }

private:
    bool FillHost(const AnnouncementSource& source);

    HWND host_ = nullptr;
    ComPtr<IWebBrowser2> browser_;
};

}
