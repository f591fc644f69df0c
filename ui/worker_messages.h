#pragma once

// The window's side of the one road from the job threads: the tasks they post (WorkerChannel::PostTask) run
// here, each taken into the window's hands at once, so it is freed on every path.

#include "ui/worker_channel.h"

#include <windows.h>

#include <string>

class MainWindow;

// Runs the task that a WM_APP_RUN_TASK message carries.
void RunPostedTask(MainWindow& window, LPARAM task);

// Frees the tasks still queued for `window` when it is destroyed: they were posted before the window started
// closing and would otherwise never run.
void DiscardQueuedWorkerMessages(HWND window);

// Any thread: shows a text in the status line of the window `workers` posts to.
void PostStatusText(const WorkerChannel& workers, std::wstring text);
