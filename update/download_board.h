#pragma once

#include "update/update_transaction.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

// What a download thread tells the transaction's thread, in the order it happened.
struct DownloadEvent {
    enum class Kind { kStarted, kProgress, kVerified, kFailed };
    Kind kind = Kind::kStarted;
    std::uint32_t file = 0;     // index into the pending files
    std::int32_t percent = 0;   // kProgress: the file's percent
    std::wstring message;       // kFailed: the message for the player
};

// The events of the downloads that run while the check pass goes on wait for it to end. Past this many waiting
// events no further download starts until then, so a long check of a large client cannot pile them up without
// bound (a file makes a few events, at most about a hundred). The downloads still run well ahead of the check.
inline constexpr std::size_t kEventsAheadOfCheck = 4096;

// The meeting point of the download threads and the transaction's thread: the files found out of date so far,
// the next one to take, the events not yet reported, the threads still running and whether they must stop.
class DownloadBoard {
public:
    struct Taken {
        std::uint32_t index = 0;
        const PendingFile* file = nullptr;  // stays where it is while files are added
    };

    // One more file to download; returns how many there are now. Only the transaction's thread adds.
    std::uint32_t Add(PendingFile file);

    // The check pass has ended: no file is added any more, and the events are collected from now on.
    void Finish();

    // The next file for a download thread, waiting while the check pass may still add one or has too many events
    // waiting; none when all are taken or the downloads stop.
    std::optional<Taken> Take();

    // A failure stops the others at once, so the first one posted is the one reported.
    void Post(DownloadEvent event);

    void Stop();
    bool Stopped() const;
    void Joined();
    void Left();

    // The events posted since the last call, waiting up to `wait` for one; ended is set once every thread has
    // left and nothing more will come. Called once the check pass has ended.
    std::deque<DownloadEvent> Collect(std::chrono::milliseconds wait, bool& ended);

    // File `index` for the transaction's thread, the only one that adds files.
    const PendingFile& File(std::uint32_t index) const { return files_[index]; }

    std::uint32_t Count() const { return static_cast<std::uint32_t>(files_.size()); }

    // Every file, once the download threads have left.
    std::vector<PendingFile> TakeFiles();

private:
    mutable std::mutex lock_;
    std::condition_variable changed_;  // an event was posted or a thread left
    std::condition_variable work_;     // a file was added, the check ended or the downloads stop
    std::deque<PendingFile> files_;
    std::uint32_t next_ = 0;
    std::uint32_t running_ = 0;
    bool finished_ = false;
    bool stop_ = false;
    std::deque<DownloadEvent> events_;
};

}
