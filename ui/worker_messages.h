#pragma once

#include <windows.h>

// The main window's side of the messages the region-list and update threads post. Each handler takes the
// payload into its own hands at once, so it is freed on every path.
void OnRegionListResult(WPARAM connected, LPARAM errorText);
void OnStatusText(LPARAM text);
void OnUpdateFinished(LPARAM result);
void OnProgressChanged();

// Frees the payloads of worker messages still queued for `window` when it is destroyed: they were posted before
// the window started closing and would otherwise never be delivered.
void DiscardQueuedWorkerMessages(HWND window);
