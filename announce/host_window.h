#pragma once

#include "announce/announcement_site.h"
#include "base/com_ptr.h"

#include <windows.h>

namespace vorn {

// The panel's host window class: a plain child window that owns one site for the control inside it. The site
// is made when the window is created, lets go of its control when the window is destroyed and is released
// with the window's last message.
inline constexpr wchar_t kAnnouncementHostClass[] = L"VornAnnouncementHost";

// Registers the class once per process; true when it is (or already was) registered.
bool RegisterAnnouncementHostClass(HINSTANCE instance);
void UnregisterAnnouncementHostClass(HINSTANCE instance);

// True when `window` is a live window of the host class.
bool IsAnnouncementHost(HWND window);
// The site of a host window (one reference for the caller); empty for any other window.
ComPtr<AnnouncementSite> HostSite(HWND window);

}
