#pragma once

#include <windows.h>

class MainWindow;

// WM_PAINT: paints the whole face double-buffered through a memory bitmap.
void PaintMainWindow(const MainWindow& window);
// The face itself, into any device context of the client size (the memory bitmap of a paint, or a test's).
void PaintMainWindowTo(const MainWindow& window, HDC dc);

void DrawOwnerButton(const MainWindow& window, const DRAWITEMSTRUCT& item);
void DrawUpdateLabel(const MainWindow& window, const DRAWITEMSTRUCT& item);
