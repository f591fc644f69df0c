#pragma once

#include <windows.h>

#include <string>

class MainWindow;

// The update job: the client update on the window's thread for it, the update label that follows it, and its
// result (WM_APP_UPDATE_FINISHED). Main window thread only; the update's thread reaches the window through its
// WorkerChannel alone.

// Starts an update unless another job runs; showErrors shows a failure in a message box.
void CheckUpdatesAsync(MainWindow& window, bool showErrors);
void OnUpdateFinished(MainWindow& window, LPARAM result);
void OnProgressChanged(MainWindow& window);

// The update label's text from the window's progress record and state flags, and the label refresh.
std::wstring BuildUpdateStatusText(const MainWindow& window);
void RefreshUpdateLabel(MainWindow& window);
