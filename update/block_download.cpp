#include "update/block_download.h"

#include "base/paths.h"
#include "update/block_matcher.h"
#include "update/block_ranges.h"
#include "update/byteranges.h"
#include "update/cng.h"
#include "update/kept_download.h"
#include "update/old_copy_scan.h"
#include "update/ranged_download.h"
#include "update/site_connections.h"
#include "update/staged_build.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace {

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
