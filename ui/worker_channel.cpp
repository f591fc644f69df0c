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

void WorkerChannel::PublishProgress(const vorn::UpdateProgress& progress, UINT message)
{
    std::lock_guard lock(shared_->progressMutex);
    shared_->progress = progress;
    if (!shared_->closing.load() && !shared_->progressPending)
        shared_->progressPending = PostMessageW(shared_->window.load(), message, 0, 0) != FALSE;
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
