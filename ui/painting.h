#pragma once

#include <windows.h>

// Loads the current main window's face (PNG resource 101) from the executable; FreeSkin releases it.
void LoadSkin();
void FreeSkin();

// WM_PAINT: paints the whole face double-buffered through a memory bitmap.
void PaintMainWindow(HWND window);
// The face itself, into any device context of the client size (the memory bitmap of a paint, or a test's).
void PaintMainWindowTo(HDC dc);

void DrawOwnerButton(const DRAWITEMSTRUCT& item);
void DrawUpdateLabel(const DRAWITEMSTRUCT& item);
