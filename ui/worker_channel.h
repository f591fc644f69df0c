#pragma once

#include "update/update_types.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class MainWindow;

// Work a job's thread hands to the window's thread: it runs there with the window, and touches the window only
// there. Whatever it needs travels in its captures.
using WindowTask = std::function<void(MainWindow&)>;

// The one message of the job threads: lParam holds a heap WindowTask.
inline constexpr UINT WM_APP_RUN_TASK = WM_APP + 1;

// All that the job threads share with the main window, with the locking inside: where results go, whether the
// window is closing or the player asked the update to stop, and the newest update progress. Every member may
// be called from any thread. Copies share one channel: a thread the window does not wait for (the region-list
// load) holds a copy, so what it posts through outlives the window.
class WorkerChannel {
public:
    // The window the posts go to (set at its creation) and the start of a fresh run: not closing, not cancelled,
    // no progress waiting.
    void Open(HWND window);
    // The window is going: nothing is posted any more (a post under way ends first), and a running update stops.
    void Close();
    bool closing() const { return shared_->closing.load(); }

    void RequestCancel() { shared_->cancel.store(true); }
    void ClearCancel() { shared_->cancel.store(false); }
    // The update's cancellation query: the window is closing or the player asked to stop.
    bool cancelled() const { return shared_->closing.load() || shared_->cancel.load(); }

    // Has `task` run on the window's thread. The window owns the task once the post succeeds; while the window
    // is closing, or when the post fails, it is freed here. True when it was posted.
    bool PostTask(WindowTask task) const;

    // Keeps the newest progress record and posts `notice` unless one is already on its way.
    void PublishProgress(const vorn::UpdateProgress& progress, const WindowTask& notice);
    // The window side of that notice: the newest record, and the next report posts again.
    vorn::UpdateProgress TakeProgress();
    // True while a progress notice is on its way.
    bool progressPending() const;

private:
    struct Shared {
        std::atomic<HWND> window{nullptr};
        std::atomic<bool> closing{false};
        std::atomic<bool> cancel{false};
        std::mutex postMutex;
        std::mutex progressMutex;
        vorn::UpdateProgress progress;
        bool progressPending = false;
    };
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};
