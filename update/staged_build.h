#pragma once

// The new file as a build from an older copy writes it: at offsets, from several threads at once, going to the
// disk while it is built; and the blocks the scan of the old copy finds, written as they are found.

#include "base/unique_resource.h"
#include "update/block_index.h"
#include "update/fetcher.h"
#include "update/old_copy_scan.h"
#include "update/written_crc.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

// Reused blocks are written in runs of up to this many bytes, at most this many runs held at once.
constexpr std::size_t kCopyRunBytes = 1u << 20;
constexpr std::size_t kCopyRuns = 4;

// The file being built, written at offsets from several threads at once; counts what it holds, copied and
// fetched alike, for the progress, which only the building thread reports.
//
// What is written goes to the disk while the file is still being built: every kFlushBytes written, a thread of its
// own flushes the file, so the flush before the install finds little left to write (a 512 MiB file left whole in
// the system's cache took a quarter of a second more to flush there, with the scan done and nothing else to do).
// A writer that gets two flushes ahead of the disk waits for it, which bounds both what one flush writes and how
// long a write (and so a cancel, seen between two writes) can be held: 64 MiB, about a second on a slow disk. A
// failed flush fails the build as a failed write does.
class StagedBuild {
public:
    StagedBuild(UniqueFile file, std::uint64_t size, const DownloadProgress& onProgress)
        : file_(std::move(file)), size_(size), onProgress_(onProgress), written_(size)
    {
        flusher_ = std::thread([this] { FlushAsWritten(); });
    }

    ~StagedBuild() { StopFlushing(); }

    bool WriteAt(std::uint64_t offset, const char* data, std::size_t size)
    {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD written = 0;
        if (!WriteFile(file_.get(), data, static_cast<DWORD>(size), &written, &at) || written != size)
            return false;
        held_ += size;
        written_.Add(offset, data, size);
        std::unique_lock<std::mutex> held(lock_);
        unflushed_ += size;
        if (unflushed_ >= kFlushBytes)
            due_.notify_one();
        flushed_.wait(held, [this] { return unflushed_ < 2 * kFlushBytes || flushFailed_ || closing_; });
        return !flushFailed_;
    }

    // The CRC-32 of what was written, when it covers the file exactly once.
    std::optional<std::uint32_t> WrittenCrc32() const { return written_.Whole(); }

    void Report() const
    {
        if (onProgress_)
            onProgress_(std::min<std::uint64_t>(held_, size_), size_);
    }

    // Whether every flush on the way succeeded and the file closed; what the last flush left is the installer's.
    bool Close()
    {
        StopFlushing();
        return !flushFailed_ && CloseHandle(file_.release()) != 0;
    }

private:
    static constexpr std::uint64_t kFlushBytes = 32u << 20;

    // The flusher's thread.
    void FlushAsWritten()
    {
        std::unique_lock<std::mutex> held(lock_);
        for (;;) {
            due_.wait(held, [this] { return unflushed_ >= kFlushBytes || closing_; });
            if (closing_ || flushFailed_)
                return;
            unflushed_ = 0;
            held.unlock();
            const bool flushed = FlushFileBuffers(file_.get()) != 0;
            held.lock();
            flushFailed_ = !flushed;
            flushed_.notify_all();
        }
    }

    void StopFlushing()
    {
        if (!flusher_.joinable())
            return;
        {
            const std::lock_guard<std::mutex> held(lock_);
            closing_ = true;
        }
        due_.notify_one();
        flushed_.notify_all();
        flusher_.join();
    }

    UniqueFile file_;
    std::uint64_t size_;
    const DownloadProgress& onProgress_;
    std::atomic<std::uint64_t> held_{0};
    WrittenCrc written_;
    std::mutex lock_;
    std::condition_variable due_;      // kFlushBytes were written since the last flush began, or the file closes
    std::condition_variable flushed_;  // a flush ended
    std::uint64_t unflushed_ = 0;      // written since the last flush began
    bool flushFailed_ = false;
    bool closing_ = false;
    std::thread flusher_;
};

// Writes the blocks the scan finds in the old copy to their places in the new file as they are found, so the old
// copy is read once for the scan and the copy alike. Blocks that follow each other in the new file go out together,
// in runs of up to kCopyRunBytes. The writes, and the CRC-32 taken of them, run on a thread of their own beside the
// scan, which only gathers the runs: writing 512 MiB into the system's cache costs about as much as the scan
// itself under Wine, so one after the other the pass took twice the scan. At most kCopyRuns runs are held, and
// the scan waits for the writer when they are all in use. The progress moves with every run, and a cancel is seen
// between two runs, also while one find brings a whole file's worth of equal blocks (the zeros of a sparse
// archive).
class FoundBlockCopy {
public:
    FoundBlockCopy(const BlockIndex& index, StagedBuild& build, const DownloadCancelled& isCancelled)
        : index_(index), build_(build), isCancelled_(isCancelled), spare_(kCopyRuns - 1)
    {
        writer_ = std::thread([this] { WriteRuns(); });
    }

    ~FoundBlockCopy() { Finish(); }

    // On the scanning thread, as everything below but WriteRuns.
    void Found(std::size_t block, const unsigned char* data)
    {
        const std::uint64_t to = index_.Offset(block);
        const std::uint32_t length = index_.Length(block);
        if (!stopped_ && !run_.bytes.empty() &&
            (run_.offset + run_.bytes.size() != to || run_.bytes.size() + length > kCopyRunBytes))
            Hand();
        if (stopped_)
            return;
        if (run_.bytes.empty())
            run_.offset = to;
        run_.bytes.insert(run_.bytes.end(), data, data + length);
    }

    // Whether the copy stopped (a failed write or a cancel), which ends the scan too.
    bool Stopped() const { return stopped_; }

    // After the scan: the last run is written and the writer is done. kDone when every run was written; the copy
    // stops at a failed write (kUnreadable) or a cancel.
    OldCopyScan Finish()
    {
        if (!stopped_ && !run_.bytes.empty())
            Hand();
        if (writer_.joinable()) {
            {
                const std::lock_guard<std::mutex> held(lock_);
                done_ = true;
            }
            ready_.notify_one();
            writer_.join();
            build_.Report();
        }
        return failed_ ? OldCopyScan::kUnreadable : cancelled_ ? OldCopyScan::kCancelled : OldCopyScan::kDone;
    }

private:
    struct Run {
        std::uint64_t offset = 0;
        std::vector<char> bytes;
    };

    // Queues the run held for the writer and takes a spare one, waiting for the writer when none is left.
    void Hand()
    {
        if (isCancelled_ && isCancelled_()) {
            cancelled_ = stopped_ = true;
            return;
        }
        std::unique_lock<std::mutex> held(lock_);
        queued_.push_back(std::move(run_));
        ready_.notify_one();
        spared_.wait(held, [this] { return !spare_.empty() || failed_; });
        if (failed_) {
            stopped_ = true;
            return;
        }
        run_ = std::move(spare_.back());
        spare_.pop_back();
        run_.bytes.clear();
        held.unlock();
        build_.Report();
    }

    // The writer's thread.
    void WriteRuns()
    {
        std::unique_lock<std::mutex> held(lock_);
        for (;;) {
            ready_.wait(held, [this] { return !queued_.empty() || done_; });
            if (queued_.empty())
                return;
            Run run = std::move(queued_.front());
            queued_.pop_front();
            const bool skip = failed_;
            held.unlock();
            const bool written = skip || build_.WriteAt(run.offset, run.bytes.data(), run.bytes.size());
            held.lock();
            failed_ = failed_ || !written;
            spare_.push_back(std::move(run));
            spared_.notify_one();
        }
    }

    const BlockIndex& index_;
    StagedBuild& build_;
    const DownloadCancelled& isCancelled_;
    Run run_;  // the run being gathered
    bool stopped_ = false;
    bool cancelled_ = false;
    std::mutex lock_;
    std::condition_variable ready_;   // a run was queued, or the scan is done
    std::condition_variable spared_;  // a run was written
    std::deque<Run> queued_;
    std::vector<Run> spare_;
    bool done_ = false;
    bool failed_ = false;
    std::thread writer_;
};
