#include "ui/worker_channel.h"

void WorkerChannel::Open(HWND window)
{
    shared_->window.store(window);
    shared_->closing.store(false);
    shared_->cancel.store(false);
    std::lock_guard lock(shared_->progressMutex);
    shared_->progress = {};
    shared_->progressPending = false;
}

void WorkerChannel::Close()
{
    std::lock_guard lock(shared_->postMutex);
    shared_->closing.store(true);
}

bool WorkerChannel::PostTask(WindowTask task) const
{
    auto posted = std::make_unique<WindowTask>(std::move(task));
    // Close waits for a post under way, so once it returns the window's queue takes nothing more of ours.
    std::lock_guard lock(shared_->postMutex);
    if (shared_->closing.load())
        return false;
    if (!PostMessageW(shared_->window.load(), WM_APP_RUN_TASK, 0, reinterpret_cast<LPARAM>(posted.get())))
        return false;
    posted.release();
    return true;
}

void WorkerChannel::PublishProgress(const vorn::UpdateProgress& progress, const WindowTask& notice)
{
    std::lock_guard lock(shared_->progressMutex);
    shared_->progress = progress;
    if (!shared_->progressPending)
        shared_->progressPending = PostTask(notice);
}

vorn::UpdateProgress WorkerChannel::TakeProgress()
{
    std::lock_guard lock(shared_->progressMutex);
    shared_->progressPending = false;
    return shared_->progress;
}

bool WorkerChannel::progressPending() const
{
    std::lock_guard lock(shared_->progressMutex);
    return shared_->progressPending;
}
