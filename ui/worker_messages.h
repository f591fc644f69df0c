#pragma once

#include <windows.h>

class MainWindow;

// The main window's side of the messages workers post that belong to no one job (each job's finish is declared
// with its start). Each handler takes the payload into its own hands at once, so it is freed on every path.
void OnStatusText(MainWindow& window, LPARAM text);

// Frees the payloads of worker messages still queued for `window` when it is destroyed: they were posted before
// the window started closing and would otherwise never be delivered.
void DiscardQueuedWorkerMessages(HWND window);
