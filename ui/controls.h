#pragma once

// Window-wide objects of the main window: created while it handles WM_CREATE, released when it is destroyed,
// used only on the user-interface thread.

#include <windows.h>

#include <array>

inline constexpr int kRegionButtonCount = 9;

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
