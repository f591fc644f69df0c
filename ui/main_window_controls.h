#pragma once

#include <windows.h>

// Creates every child control of the main window in its fixed order, position and font, and stores the handles
// the rest of the launcher uses (ui/controls.h). The fonts must exist already.
void CreateChildControls(HWND window);
