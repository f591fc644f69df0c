#pragma once

// The one pattern of the main window's background jobs (the region list, the update and the launch
// authorisation). Start runs on the window thread: it claims the long-action slot, disables the buttons and says
// in the status line what is happening. The work runs on a thread and posts its result through the window's
// WorkerChannel as its last act. Finish runs on the window thread: it takes the payload, joins the thread, gives
// the slot back and acts on the result. The update's and the launch's threads are the window's and are joined
// before it is gone; the region-list load is abandoned when the window closes (ui/region_list_job.cpp).

#include "ui/job_threads.h"

#include <windows.h>

#include <string>
#include <thread>

class MainWindow;

// Takes the slot unless a job holds it: `busy` is set, the download and enter-game buttons are disabled and the
// status line shows `status`. False, with nothing changed, when another job runs.
bool ClaimJobSlot(MainWindow& window, const std::wstring& status);

// Gives the slot back and enables the buttons again (enter-game only with a valid selection).
void ReleaseJobSlot(MainWindow& window);

// The start of every finish: joins the job's thread (it posted its result as its last act, so the join returns
// at once). When the player has already confirmed closing, the window is destroyed and the result is false:
// no question or notice may keep the window now, and `window` is gone.
bool EndJob(MainWindow& window, std::thread& thread);
