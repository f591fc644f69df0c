#pragma once

// The new file as a build from an older copy writes it: at offsets, from several threads at once, going to the
// disk while it is built; and the blocks the scan of the old copy finds, written as they are found.

#include "base/unique_resource.h"
#include "update/block_index.h"
#include "update/fetcher.h"
#include "update/old_copy_scan.h"
#include "update/written_crc.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// The file being built, written at offsets from several threads at once and flushed as it fills; counts what it
// holds, copied and fetched alike, for the progress, which only the building thread reports.
class StagedBuild {
public:
    StagedBuild(UniqueFile file, std::uint64_t size, const DownloadProgress& onProgress);
    ~StagedBuild();

    // Writes `size` bytes at `offset`; false when the write or a flush on the way failed.
    bool WriteAt(std::uint64_t offset, const char* data, std::size_t size);

    // The CRC-32 of what was written, when it covers the file exactly once.
    std::optional<std::uint32_t> WrittenCrc32() const { return written_.Whole(); }

    // Tells the progress what the file holds so far.
    void Report() const;

    // Whether every flush on the way succeeded and the file closed; what the last flush left is the installer's.
    bool Close();

private:
    void FlushAsWritten();
    void StopFlushing();

    UniqueFile file_;
    std::uint64_t size_;
    const DownloadProgress& onProgress_;
    std::atomic<std::uint64_t> held_{0};
    WrittenCrc written_;
    std::mutex lock_;
    std::condition_variable due_;      // a flush is due, or the file closes
    std::condition_variable flushed_;  // a flush ended
    std::uint64_t unflushed_ = 0;      // written since the last flush began
    bool flushFailed_ = false;
    bool closing_ = false;
    std::thread flusher_;
};

// Writes the blocks the scan finds in the old copy to their places in the new file as they are found, beside the
// scan on a thread of its own.
class FoundBlockCopy {
public:
    FoundBlockCopy(const BlockIndex& index, StagedBuild& build, const DownloadCancelled& isCancelled);
    ~FoundBlockCopy();

    // A block of the index found in the old copy, with its bytes; on the scanning thread, as everything below.
    void Found(std::size_t block, const unsigned char* data);

    // Whether the copy stopped (a failed write or a cancel), which ends the scan too.
    bool Stopped() const { return stopped_; }

    // After the scan: the last run is written and the writer is done. kDone when every run was written; the copy
    // stops at a failed write (kUnreadable) or a cancel.
    OldCopyScan Finish();

private:
    struct Run {
        std::uint64_t offset = 0;
        std::vector<char> bytes;
    };

    void Hand();
    void WriteRuns();

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
