#pragma once

#include "update/update_types.h"

#include <windows.h>

#include <string>

// The update job: the client update on the window's thread for it, the update label that follows it, and its
// result (WM_APP_UPDATE_FINISHED). Main window thread only, apart from the two worker callbacks.

// Starts an update unless another job runs; showErrors shows a failure in a message box.
void CheckUpdatesAsync(bool showErrors);
void OnUpdateFinished(LPARAM result);
void OnProgressChanged();

// Worker side: the cancellation query (the window is closing or the player closed it during the update) and the
// progress callback, which keeps the newest record and posts at most one notice at a time.
bool IsUpdateCancelled();
void OnUpdateProgress(const vorn::UpdateProgress& progress);

// The update label's text from uiProgress and the state flags, and the label refresh.
std::wstring BuildUpdateStatusText();
void RefreshUpdateLabel();
