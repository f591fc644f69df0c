#pragma once

// The one pattern of the main window's background jobs (the region list, the update and the launch
// authorisation). Start runs on the window thread: it claims the long-action slot, disables the buttons and says
// in the status line what is happening. The work runs on a thread the window owns and posts its result through
// the window's WorkerChannel as its last act. Finish runs on the window thread: it takes the payload, joins the
// thread, gives the slot back and acts on the result. Every job thread is joined before the window is gone.

#include <windows.h>

#include <string>
#include <system_error>
#include <thread>
#include <utility>

class MainWindow;

// The threads of the three jobs, owned by the main window; each is joined by its job's finish, or at the latest
// when the window is destroyed.
struct JobThreads {
    std::thread regionList;
    std::thread update;
    std::thread launch;

    // True while any job's thread has not been joined yet.
    bool AnyRunning() const;
    // Joins every job's thread; the window's destruction calls it after asking the jobs to stop.
    void JoinAll();
};

// Takes the slot unless a job holds it: `busy` is set, the download and enter-game buttons are disabled and the
// status line shows `status`. False, with nothing changed, when another job runs.
bool ClaimJobSlot(MainWindow& window, const std::wstring& status);

// Gives the slot back and enables the buttons again (enter-game only with a valid selection).
void ReleaseJobSlot(MainWindow& window);

// Joins a job's thread if it has one.
void JoinJobThread(std::thread& thread);

// The start of every finish: joins the job's thread (it posted its result as its last act, so the join returns
// at once). When the player has already confirmed closing, the window is destroyed and the result is false:
// no question or notice may keep the window now, and `window` is gone.
bool EndJob(MainWindow& window, std::thread& thread);

// Starts `work` on `thread` (joined first if it still holds an old one); false when no thread could be made.
template <typename Work>
bool StartJobThread(std::thread& thread, Work work)
{
    JoinJobThread(thread);
    try {
        thread = std::thread(std::move(work));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}
