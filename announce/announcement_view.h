#pragma once

#include <windows.h>

#include <exdisp.h>

// The panel's host window and its browser (one reference held); both null when there is no panel.
extern HWND announcementHost;
extern IWebBrowser2* announcementBrowser;

// Offers a keystroke addressed to the panel to the browser first; true when the browser consumed it.
bool PreTranslateAnnouncementMessage(MSG& msg);

// Builds the panel in `rect` of `parent`; the host window, or null when the panel cannot be built.
HWND CreateAnnouncementView(HWND parent, const RECT& rect);
void DestroyAnnouncementView();
