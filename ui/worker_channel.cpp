#include "ui/worker_channel.h"

void WorkerChannel::Open(HWND window)
{
    window_.store(window);
    closing_.store(false);
    cancel_.store(false);
    std::lock_guard lock(progressMutex_);
    progress_ = {};
    progressPending_ = false;
}

void WorkerChannel::Close()
{
    closing_.store(true);
}

void WorkerChannel::PublishProgress(const vorn::UpdateProgress& progress, UINT message)
{
    std::lock_guard lock(progressMutex_);
    progress_ = progress;
    if (!closing_.load() && !progressPending_)
        progressPending_ = PostMessageW(window_.load(), message, 0, 0) != FALSE;
}

vorn::UpdateProgress WorkerChannel::TakeProgress()
{
    std::lock_guard lock(progressMutex_);
    progressPending_ = false;
    return progress_;
}

bool WorkerChannel::progressPending() const
{
    std::lock_guard lock(progressMutex_);
    return progressPending_;
}
