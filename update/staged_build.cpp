#include "update/staged_build.h"

#include <windows.h>

#include <algorithm>
#include <utility>

namespace {

// What is written goes to the disk while the file is still being built: every kFlushBytes written, a thread of its
// own flushes the file, so the flush before the install finds little left to write (a 512 MiB file left whole in
// the system's cache took a quarter of a second more to flush there, with the scan done and nothing else to do).
// A writer that gets two flushes ahead of the disk waits for it, which bounds both what one flush writes and how
// long a write (and so a cancel, seen between two writes) can be held: 64 MiB, about a second on a slow disk.
constexpr std::uint64_t kFlushBytes = 32u << 20;

// Reused blocks are written in runs of up to this many bytes, at most this many runs held at once.
constexpr std::size_t kCopyRunBytes = 1u << 20;
constexpr std::size_t kCopyRuns = 4;

}

StagedBuild::StagedBuild(UniqueFile file, std::uint64_t size, const DownloadProgress& onProgress)
    : file_(std::move(file)), size_(size), onProgress_(onProgress), written_(size)
{
    flusher_ = std::thread([this] { FlushAsWritten(); });
}

StagedBuild::~StagedBuild() { StopFlushing(); }

bool StagedBuild::WriteAt(std::uint64_t offset, const char* data, std::size_t size)
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
    // A failed flush fails the build as a failed write does: what it left in the cache may never reach the disk.
    return !flushFailed_;
}

void StagedBuild::Report() const
{
    if (onProgress_)
        onProgress_(std::min<std::uint64_t>(held_, size_), size_);
}

bool StagedBuild::Close()
{
    StopFlushing();
    return !flushFailed_ && CloseHandle(file_.release()) != 0;
}

// The flusher's thread.
void StagedBuild::FlushAsWritten()
{
    std::unique_lock<std::mutex> held(lock_);
    for (;;) {
        due_.wait(held, [this] { return unflushed_ >= kFlushBytes || closing_; });
        if (closing_ || flushFailed_)
            return;
        // Counted from the flush's start, so what is written during it is due at the next one.
        unflushed_ = 0;
        held.unlock();
        const bool flushed = FlushFileBuffers(file_.get()) != 0;
        held.lock();
        flushFailed_ = !flushed;
        flushed_.notify_all();
    }
}

void StagedBuild::StopFlushing()
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

// The old copy is read once for the scan and the copy alike. Blocks that follow each other in the new file go out
// together, in runs of up to kCopyRunBytes. The writes, and the CRC-32 taken of them, run on a thread of their own
// beside the scan, which only gathers the runs: writing 512 MiB into the system's cache costs about as much as the
// scan itself under Wine, so one after the other the pass took twice the scan. At most kCopyRuns runs are held,
// and the scan waits for the writer when they are all in use. The progress moves with every run, and a cancel is
// seen between two runs, also while one find brings a whole file's worth of equal blocks (the zeros of a sparse
// archive).
FoundBlockCopy::FoundBlockCopy(const BlockIndex& index, StagedBuild& build, const DownloadCancelled& isCancelled)
    : index_(index), build_(build), isCancelled_(isCancelled), spare_(kCopyRuns - 1)
{
    writer_ = std::thread([this] { WriteRuns(); });
}

FoundBlockCopy::~FoundBlockCopy() { Finish(); }

void FoundBlockCopy::Found(std::size_t block, const unsigned char* data)
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

OldCopyScan FoundBlockCopy::Finish()
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

// Queues the run held for the writer and takes a spare one, waiting for the writer when none is left.
void FoundBlockCopy::Hand()
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
void FoundBlockCopy::WriteRuns()
{
    std::unique_lock<std::mutex> held(lock_);
    for (;;) {
        ready_.wait(held, [this] { return !queued_.empty() || done_; });
        if (queued_.empty())
            return;
        Run run = std::move(queued_.front());
        queued_.pop_front();
        // After a failed write the runs still queued are only handed back, so the scan stops at its next hand.
        const bool skip = failed_;
        held.unlock();
        const bool written = skip || build_.WriteAt(run.offset, run.bytes.data(), run.bytes.size());
        held.lock();
        failed_ = failed_ || !written;
        spare_.push_back(std::move(run));
        spared_.notify_one();
    }
}
