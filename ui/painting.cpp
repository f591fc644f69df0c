#include "ui/painting.h"

void LoadSkin() {}
void FreeSkin() {}

void PaintMainWindow(HWND window)
{
    PAINTSTRUCT ps;
    BeginPaint(window, &ps);
    EndPaint(window, &ps);
}

void DrawOwnerButton(const DRAWITEMSTRUCT&) {}
void DrawUpdateLabel(const DRAWITEMSTRUCT&) {}
