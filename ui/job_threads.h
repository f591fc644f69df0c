#pragma once

// The threads of the main window's background jobs that it waits for: owned by the window, each joined by its
// job's finish, or at the latest when the window is destroyed. (The region-list load is not among them: nothing
// of the window waits for it.) The window side of a job is in ui/jobs.h.

#include <system_error>
#include <thread>
#include <utility>

struct JobThreads {
    std::thread update;
    std::thread launch;

    // True while any job's thread has not been joined yet.
    bool AnyRunning() const;
    // Joins every job's thread; the window's destruction calls it after asking the jobs to stop.
    void JoinAll();
};

// Joins a job's thread if it has one.
void JoinJobThread(std::thread& thread);

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
