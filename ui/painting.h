#pragma once

#include <windows.h>

// Loads the window face (PNG resource 101) once, at window creation; FreeSkin releases it at destruction.
void LoadSkin();
void FreeSkin();

void PaintMainWindow(HWND window);
void DrawOwnerButton(const DRAWITEMSTRUCT& item);
void DrawUpdateLabel(const DRAWITEMSTRUCT& item);
