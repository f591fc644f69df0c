#pragma once

#include <windows.h>

#include <oaidl.h>

namespace vorn {

// Download control for the page: silent, and no behaviours, ActiveX controls (neither downloaded nor run), Java
// or scripts. Images, video and background sound are left out because their "download" flags are not set.
constexpr DWORD kDownloadControlFlags = 0x40000000 | 0x8000 | 0x400 | 0x200 | 0x100 | 0x80;

// Local-machine access check, themed controls, no 3-D border, no help menu. Scroll bars stay.
constexpr DWORD kDocHostFlags = 0x800000 | 0x40000 | 0x4 | 0x2;

// What the host answers for itself when the panel's own ambient object does not know a property, and how its
// document-host handler behaves. The defaults are those of a plain control host; the panel sets its own.
struct HostSettings {
    COLORREF backColor = RGB(255, 255, 255);
    DWORD docHostFlags = 0x4;
    bool allowContextMenu = true;
    bool allowShowUI = false;
    LCID locale = LOCALE_USER_DEFAULT;
};

// The host's own answer to an ambient property request: true with `result` filled for the properties a
// control host knows (only as property gets), false otherwise.
bool AnswerHostAmbient(DISPID id, WORD flags, const HostSettings& settings, VARIANT& result);

}
