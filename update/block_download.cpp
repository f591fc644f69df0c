#include "update/block_download.h"

#include "base/paths.h"
#include "base/unique_resource.h"
#include "update/block_matcher.h"
#include "update/block_ranges.h"
#include "update/byteranges.h"
#include "update/cng.h"
#include "update/kept_download.h"
#include "update/old_copy_scan.h"
#include "update/ranged_download.h"
#include "update/site_connections.h"
#include "update/written_crc.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Reused blocks are written in runs of up to this many bytes, at most this many runs held at once.
constexpr std::size_t kCopyRunBytes = 1u << 20;
constexpr std::size_t kCopyRuns = 4;
// What a reply of several ranges may bring beyond their bytes: a multipart body's preamble and epilogue, and per
// part its boundary line and header block (a server writes about 100 bytes there).
constexpr std::uint64_t kReplyFrameBytes = kMaxPreambleBytes * 2;
constexpr std::uint64_t kPartFrameBytes = kMaxBoundaryBytes + kMaxPartHeaderBytes + 8;

// The index of job's file when the site has the one the manifest names (its size and SHA-256) and it describes
// the file the manifest and the release record describe; none otherwise.
std::optional<BlockIndex> FetchIndex(Fetcher& fetcher, const BlockReuseJob& job, const DownloadCancelled& isCancelled)
{
    TransferLimits limits = job.limits;
    limits.byteCap = job.ref.size;
    limits.signedSize.reset();
    std::string bytes;
    MemorySink sink(bytes);
    if (!FetchWithRetries(fetcher, job.indexUrl, sink, limits, {}, isCancelled).done() || bytes.size() != job.ref.size)
        return std::nullopt;
    const vorn::Result<Sha256Digest> digest = Sha256Of(bytes);
    BlockIndex index;
    if (!digest || *digest != job.ref.sha256 || !ParseBlockIndex(bytes, index) || index.fileCrc32 != job.crc32 ||
        (job.signedSize && index.fileSize != *job.signedSize))
        return std::nullopt;
    return index;
}

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

// The ranges of one request, written in place as they come. A cut reply is continued by a request for the bytes
// still missing: the parts arrive in order, so they are the asked ranges from the last byte written on. Only a
// 206 is taken; a server that answers with the whole file (a 200) is left for the whole download.
class RangesSink final : public FetchSink {
public:
    RangesSink(std::vector<ByteRange> asked, std::uint64_t fileSize, StagedBuild& build)
        : asked_(std::move(asked)), fileSize_(fileSize), build_(build)
    {
    }

    vorn::Status Open(const FetchReply& reply) override
    {
        parser_.reset();
        coverage_.reset();
        const std::vector<ByteRange> missing = Missing();
        const std::optional<std::string> boundary = ByterangesBoundary(reply.contentType);
        if (reply.partial && reply.offset == 0 && boundary) {
            parser_ = std::make_unique<ByterangesParser>(
                *boundary, missing, fileSize_,
                [this](std::uint64_t offset, const char* data, std::size_t size) { return Put(offset, data, size); });
            return {};
        }
        // One part: the server joined the ranges, or only one was asked.
        coverage_ = std::make_unique<RangeCoverage>(missing);
        if (!reply.partial || !reply.length || !coverage_->Add(ByteRange{reply.offset, *reply.length - 1}))
            return vorn::Failure{kUnusableRangeMessage};
        next_ = reply.offset;
        return {};
    }

    vorn::Status Write(const char* data, std::size_t size) override
    {
        const bool taken = parser_ ? parser_->Feed(data, size) : Put(next_, data, size);
        next_ += size;
        if (!taken)
            return vorn::Failure{kUnusableRangeMessage};
        return {};
    }

    std::optional<ResumePoint> Resume() const override
    {
        ResumePoint point;
        point.ranges = Missing();
        point.offset = point.ranges.front().first;
        point.end = point.ranges.back().last + 1;
        point.total = fileSize_;
        return point;
    }

    // Whether the reply that ended brought every byte asked.
    bool Complete() const { return parser_ ? parser_->Finish() : coverage_ && coverage_->Complete(); }

private:
    bool Put(std::uint64_t offset, const char* data, std::size_t size)
    {
        if (!build_.WriteAt(offset, data, size))
            return false;
        reached_ = offset + size;
        return true;
    }

    // The asked ranges from the first byte not yet written on.
    std::vector<ByteRange> Missing() const
    {
        std::vector<ByteRange> missing;
        for (const ByteRange& range : asked_) {
            if (range.last < reached_)
                continue;
            missing.push_back(ByteRange{std::max(range.first, reached_), range.last});
        }
        return missing;
    }

    const std::vector<ByteRange> asked_;
    const std::uint64_t fileSize_;
    StagedBuild& build_;
    std::uint64_t reached_ = 0;
    std::uint64_t next_ = 0;
    std::unique_ptr<ByterangesParser> parser_;
    std::unique_ptr<RangeCoverage> coverage_;
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

}

vorn::Result<BlockReuse> BuildFromOldCopy(Fetcher& fetcher, const BlockReuseJob& job, DiskRoom& room,
                                          const DownloadProgress& onProgress, const DownloadCancelled& isCancelled)
{
    const auto cancelled = [&]() -> vorn::Result<BlockReuse> {
        return vorn::Failure{kCancelledMessage};
    };
    if (GetFileAttributesW(job.oldCopy.c_str()) == INVALID_FILE_ATTRIBUTES)
        return BlockReuse{};
    const std::optional<BlockIndex> index = FetchIndex(fetcher, job, isCancelled);
    if (isCancelled && isCancelled())
        return cancelled();
    if (!index || !room.Take(index->fileSize) || !EnsureParentFolder(job.stagedPath))
        return BlockReuse{};
    UniqueFile file(CreateFileW(job.stagedPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return BlockReuse{};
    StagedBuild build(std::move(file), index->fileSize, onProgress);
    FoundBlockCopy copy(*index, build, isCancelled);
    BlockMatcher matcher(*index, [&copy](std::size_t block, const unsigned char* data) { copy.Found(block, data); });
    const OldCopyScan scanned =
        ScanOldCopy(job.oldCopy, matcher, [&] { return copy.Stopped() || (isCancelled && isCancelled()); });
    const OldCopyScan copied = copy.Finish();
    const OldCopyScan outcome = copied != OldCopyScan::kDone ? copied : scanned;
    if (outcome == OldCopyScan::kCancelled)
        return cancelled();
    // An old copy with nothing of the new file in it saves nothing: the file comes whole, in parts over the
    // site's connections.
    if (outcome != OldCopyScan::kDone || matcher.FoundBytes() == 0)
        return BlockReuse{};
    // The missing bytes are shared among the site's connections: a long run of them (the second half of a cut
    // copy) goes out in pieces of at least a part's smallest size, while scattered blocks stay together in
    // requests of many ranges.
    const std::uint32_t connections = job.limits.site ? job.limits.site->Count() : 1;
    const PartSizes parts = job.limits.site ? job.limits.site->Parts() : PartSizes{};
    std::uint64_t missingBytes = 0;
    for (const ByteRange& range : MissingRanges(*index, matcher.Sources()))
        missingBytes += range.Size();
    const RangeRequestLimits requests{kMaxRangesPerRequest,
                                      std::clamp(missingBytes / connections, parts.smallest, kMaxRangeRequestBytes)};
    const std::vector<std::vector<ByteRange>> groups =
        GroupRanges(MissingRanges(*index, matcher.Sources(), requests.maxBytes), requests);
    std::atomic<bool> incomplete{false};
    const IndexedFetch fetchGroup = [&](std::size_t i, const DownloadCancelled& stopped) {
        const std::vector<ByteRange>& group = groups[i];
        TransferLimits limits = job.limits;
        limits.signedSize.reset();
        // The cap counts where the body ends in the file, so a reply of one part (the bytes from its first on)
        // may end at the last byte asked; a multipart one brings the ranges and their frames.
        std::uint64_t bytes = kReplyFrameBytes;
        for (const ByteRange& range : group)
            bytes += range.Size() + kPartFrameBytes;
        limits.byteCap = std::max(bytes, group.back().last + 1);
        RangesSink sink(group, index->fileSize, build);
        FetchResult fetched = FetchWithRetries(fetcher, job.fileUrl, sink, limits, {}, stopped);
        if (fetched.done() && !sink.Complete()) {
            incomplete = true;
            fetched = {FetchOutcome::kUnusableRange, kUnusableRangeMessage};
        }
        return fetched;
    };
    const FetchResult fetched =
        RunFetches(groups.size(), connections, fetchGroup, [&build] { build.Report(); }, isCancelled);
    if (fetched.outcome == FetchOutcome::kCancelled)
        return cancelled();
    if (!fetched.done() || incomplete || !build.Close())
        return BlockReuse{};
    return BlockReuse{true, build.WrittenCrc32()};
}

vorn::Result<bool> FetchIntoStaging(Fetcher& fetcher, const StagedFileJob& job, DiskRoom& room,
                                    const DownloadProgress& onProgress, const DownloadCancelled& isCancelled,
                                    const std::function<bool(const std::optional<std::uint32_t>&)>& isGood)
{
    const std::wstring kept = KeptPath(job.keptFolder, job.url);
    if (job.ref) {
        const bool present = GetFileAttributesW(job.targetPath.c_str()) != INVALID_FILE_ATTRIBUTES;
        const BlockReuseJob reuse{job.url,        job.indexUrl,    *job.ref,
                                  job.crc32,      job.limits.signedSize, present ? job.targetPath : kept,
                                  job.stagedPath, job.limits};
        const vorn::Result<BlockReuse> built = BuildFromOldCopy(fetcher, reuse, room, onProgress, isCancelled);
        if (!built)
            return built.failure();
        // A built file that fails the check was built from an index that lies: the file comes whole.
        if (built->built && isGood(built->crc32)) {
            RemoveKept(kept);
            return true;
        }
    }
    if (vorn::Status whole = DownloadKeepingCut(fetcher, job.url, kept, job.limits, room, onProgress, isCancelled);
        !whole)
        return whole.failure();
    if (!MoveFileExW(kept.c_str(), job.stagedPath.c_str(), MOVEFILE_REPLACE_EXISTING))
        return vorn::Failure{vorn::kGeneralFailureMessage};
    RemoveKept(kept);
    return false;
}
