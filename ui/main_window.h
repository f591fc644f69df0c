#pragma once

#include <windows.h>

// The window procedure of the launcher's main window ("VornLauncherWindow").
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
