#pragma once

#include "base/config.h"
#include "update/update_types.h"

#include <windows.h>

#include <string>

class MainWindow;

// The update job: the client update on the window's thread for it, the update label that follows it, and its
// result (a task its thread posts). Main window thread only; the update's thread reaches the window through its
// WorkerChannel alone.

// The update the window asks for: the configured site and limits, the client root and the launcher's own path.
vorn::UpdateRequest UpdateRequestFrom(const LauncherConfig& config, const std::wstring& clientRoot,
                                      const std::wstring& launcherPath);

// Starts an update unless another job runs; showErrors shows a failure in a message box.
void CheckUpdatesAsync(MainWindow& window, bool showErrors);
void OnUpdateFinished(MainWindow& window, const vorn::UpdateResult& outcome);
void OnProgressChanged(MainWindow& window);

// The update label's text from the window's progress record and state flags, and the label refresh.
std::wstring BuildUpdateStatusText(const MainWindow& window);
void RefreshUpdateLabel(MainWindow& window);
