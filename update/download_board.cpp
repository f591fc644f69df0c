#include "update/download_board.h"

#include <iterator>
#include <utility>

namespace vorn {

std::uint32_t DownloadBoard::Add(PendingFile file)
{
    const std::lock_guard<std::mutex> held(lock_);
    files_.push_back(std::move(file));
    work_.notify_one();
    return static_cast<std::uint32_t>(files_.size());
}

void DownloadBoard::Finish()
{
    const std::lock_guard<std::mutex> held(lock_);
    finished_ = true;
    work_.notify_all();
}

std::optional<DownloadBoard::Taken> DownloadBoard::Take()
{
    std::unique_lock<std::mutex> held(lock_);
    work_.wait(held, [this] {
        return stop_ || (finished_ && next_ == files_.size()) ||
               (next_ < files_.size() && (finished_ || events_.size() < kEventsAheadOfCheck));
    });
    if (stop_ || next_ == files_.size())
        return std::nullopt;
    const std::uint32_t index = next_++;
    return Taken{index, &files_[index]};
}

void DownloadBoard::Post(DownloadEvent event)
{
    const std::lock_guard<std::mutex> held(lock_);
    if (event.kind == DownloadEvent::Kind::kFailed) {
        stop_ = true;
        work_.notify_all();
    }
    events_.push_back(std::move(event));
    changed_.notify_one();
}

void DownloadBoard::Stop()
{
    const std::lock_guard<std::mutex> held(lock_);
    stop_ = true;
    work_.notify_all();
}

bool DownloadBoard::Stopped() const
{
    const std::lock_guard<std::mutex> held(lock_);
    return stop_;
}

void DownloadBoard::Joined()
{
    const std::lock_guard<std::mutex> held(lock_);
    ++running_;
}

void DownloadBoard::Left()
{
    const std::lock_guard<std::mutex> held(lock_);
    --running_;
    changed_.notify_one();
}

std::deque<DownloadEvent> DownloadBoard::Collect(std::chrono::milliseconds wait, bool& ended)
{
    std::unique_lock<std::mutex> held(lock_);
    changed_.wait_for(held, wait, [this] { return !events_.empty() || running_ == 0; });
    ended = running_ == 0;
    return std::exchange(events_, {});
}

std::vector<PendingFile> DownloadBoard::TakeFiles()
{
    return {std::make_move_iterator(files_.begin()), std::make_move_iterator(files_.end())};
}

}
