#pragma once

#include <windows.h>

class MainWindow;

// WM_COMMAND of the main window, by control id; ids without an action do nothing.
void OnCommand(MainWindow& window, int controlId);

// The drag band: the top rows of the face move the window like a caption bar.
bool IsInDragBand(int clientY);
