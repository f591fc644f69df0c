#pragma once

class MainWindow;

// Creates every child control of the main window in its fixed order, position and font, and stores the handles
// the rest of the launcher uses in `window.controls`. The fonts must exist already.
void CreateChildControls(MainWindow& window);
