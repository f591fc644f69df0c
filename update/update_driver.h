#pragma once

#include "update/self_update.h"
#include "update/update_types.h"

#include <string>

// Starts an update on its own thread unless another long action runs; showErrors shows a failure in a box.
// Main window thread only.
void CheckUpdatesAsync(bool showErrors);

// The body of the update thread: runs the transaction and posts its result.
void RunUpdateThread();

// The update thread's cancellation query: the window is closing or the player closed it during the update.
bool IsUpdateCancelled();

// The progress callback of the transaction: keeps the newest record and posts at most one notice at a time.
void OnUpdateProgress(const vorn::UpdateProgress& progress);

// The update label's text, from uiProgress and the state flags; and the label refresh. Main window thread only.
std::wstring BuildUpdateStatusText();
void RefreshUpdateLabel();

// The texts behind them, as plain functions of their inputs.
std::wstring UpdateStatusText(const vorn::UpdateProgress& progress, bool closing, bool failed);
std::wstring UpdateLabelText(const std::wstring& stateText, const vorn::UpdateProgress& progress);
