#pragma once

// Window-wide objects of the main window: created while it handles WM_CREATE, released when it is destroyed,
// used only on the user-interface thread.

#include <windows.h>

#include <array>

inline constexpr int kRegionButtonCount = 9;

// Control ids of the main window.
enum ControlId : int {
    kAccountEditId = 201,
    kResolutionComboId = 202,
    kWindowedCheckId = 203,
    kWebsiteButtonId = 204,
    kEnterGameButtonId = 206,
    kAnnouncementId = 207,
    kForumButtonId = 208,
    kCloseButtonId = 209,
    kRegisterButtonId = 210,
    kDownloadButtonId = 211,
    kSponsorButtonId = 212,
    kGameSettingsButtonId = 213,
    kUpdateLabelId = 219,
    kFirstRegionButtonId = 300,  // region slot i has id 300 + i
};

extern HWND downloadButton;
extern HWND updateLabel;
extern std::array<HWND, kRegionButtonCount> regionButtons;
extern HWND windowedCheck;
extern HWND enterGameButton;
extern HWND accountEdit;
extern HWND resolutionCombo;
extern HWND announcementView;

extern HFONT normalFont;
extern HFONT boldFont;
extern HBRUSH whiteBrush;
extern HBRUSH paleBrush;
