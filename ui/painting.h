#pragma once

#include <windows.h>

#include <string>

class MainWindow;
struct MainWindowState;

// WM_PAINT: paints the whole face double-buffered through a memory bitmap.
void PaintMainWindow(const MainWindow& window);
// The same face, double-buffered, into `target` (the device context of WM_ERASEBKGND).
void CopyFaceTo(const MainWindow& window, HDC target);
// The face itself, into any device context of the client size (the memory bitmap of a paint, or a test's).
void PaintMainWindowTo(const MainWindow& window, HDC dc);

// What the status line reads: the status text, with the percent while a region list loads or an update runs.
// A launch holds the same slot but counts nothing, so the last update's percent stays off its line.
std::wstring StatusLineOf(const MainWindowState& state);

void DrawOwnerButton(const MainWindow& window, const DRAWITEMSTRUCT& item);
void DrawUpdateLabel(const MainWindow& window, const DRAWITEMSTRUCT& item);
