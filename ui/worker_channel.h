#pragma once

#include "update/update_types.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>

// All that the job threads share with the main window, with the locking inside: where results go, whether the
// window is closing or the player asked the update to stop, and the newest update progress. Every member may
// be called from any thread.
class WorkerChannel {
public:
    // The window the posts go to (set at its creation) and the start of a fresh run: not closing, not cancelled,
    // no progress waiting.
    void Open(HWND window);
    // The window is going: nothing is posted any more, and a running update stops.
    void Close();
    bool closing() const { return closing_.load(); }

    void RequestCancel() { cancel_.store(true); }
    void ClearCancel() { cancel_.store(false); }
    // The update's cancellation query: the window is closing or the player asked to stop.
    bool cancelled() const { return closing_.load() || cancel_.load(); }

    // Posts a message with a heap payload to the window, which owns the payload once the post succeeds; while
    // the window is closing, or when the post fails, the payload is freed here.
    template <typename T>
    void Post(UINT message, WPARAM wParam, std::unique_ptr<T> payload)
    {
        if (closing_.load())
            return;
        if (PostMessageW(window_.load(), message, wParam, reinterpret_cast<LPARAM>(payload.get())))
            payload.release();
    }

    // Keeps the newest progress record and posts `message` unless a notice is already on its way.
    void PublishProgress(const vorn::UpdateProgress& progress, UINT message);
    // The window side of that notice: the newest record, and the next report posts again.
    vorn::UpdateProgress TakeProgress();
    // True while a progress notice is on its way.
    bool progressPending() const;

private:
    std::atomic<HWND> window_{nullptr};
    std::atomic<bool> closing_{false};
    std::atomic<bool> cancel_{false};
    mutable std::mutex progressMutex_;
    vorn::UpdateProgress progress_;
    bool progressPending_ = false;
};
