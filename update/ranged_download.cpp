#include "update/ranged_download.h"

#include "base/unique_resource.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

bool FetchesInParts(std::uint64_t length, std::uint32_t workers, const PartSizes& parts)
{
    return length > parts.largest || (workers > 1 && length / parts.smallest >= 2);
}

std::vector<ByteSpan> PlanParts(std::uint64_t length, std::uint32_t workers, const PartSizes& parts)
{
    const std::uint64_t needed = (length + parts.largest - 1) / parts.largest;
    const std::uint64_t shared = std::min<std::uint64_t>(workers, std::max<std::uint64_t>(length / parts.smallest, 1));
    const std::uint64_t count = std::max({needed, shared, std::uint64_t{1}});
    const std::uint64_t size = (length + count - 1) / count;
    std::vector<ByteSpan> spans;
    for (std::uint64_t first = 0; first < length; first += size)
        spans.push_back(ByteSpan{first, std::min(first + size, length)});
    return spans;
}

namespace {

// One part: its range fetched with If-Range and written in place, continued from its end after a cut.
class PartSink final : public FetchSink {
public:
    PartSink(ByteSpan span, std::uint64_t length, const std::wstring& validator, const WriteAt& write,
             std::atomic<std::uint64_t>& received)
        : held_(span.first, span.end, length, validator), write_(write), received_(received)
    {
    }

    vorn::Status Open(const FetchReply& reply) override
    {
        if (held_.Open(reply))
            return {};
        refused_ = true;
        return vorn::Failure{kUnusableRangeMessage};
    }

    // Whether the fetch ended because a reply did not continue this part.
    bool Refused() const { return refused_; }

    vorn::Status Write(const char* data, std::size_t size) override
    {
        if (vorn::Status written = write_(held_.Next(), data, size); !written)
            return written;
        held_.Add(size);
        received_ += size;
        return {};
    }

    std::optional<ResumePoint> Resume() const override { return held_.Resume(); }

    void Forget() override { held_.Forget(); }

private:
    HeldBody held_;
    const WriteAt& write_;
    std::atomic<std::uint64_t>& received_;
    bool refused_ = false;
};

// What the part threads share: the parts not yet taken, the first failure, how many threads still run.
struct PartBoard {
    std::mutex lock;
    std::condition_variable left;
    std::vector<ByteSpan> spans;
    std::size_t next = 0;
    std::size_t running = 0;
    std::optional<FetchResult> failure;
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> received{0};

    std::optional<ByteSpan> Take()
    {
        const std::lock_guard<std::mutex> held(lock);
        if (stop || next == spans.size())
            return std::nullopt;
        return spans[next++];
    }

    // The first failure is the one reported; the others only follow from the stop it makes.
    void Fail(FetchOutcome outcome, const std::wstring& message)
    {
        const std::lock_guard<std::mutex> held(lock);
        if (!failure)
            failure = FetchResult{outcome, message};
        stop = true;
    }
};

}

FetchResult FetchInParts(Fetcher& fetcher, const std::wstring& url, std::uint64_t length, const std::wstring& validator,
                         const TransferLimits& limits, const WriteAt& write, const DownloadProgress& onProgress,
                         const DownloadCancelled& isCancelled)
{
    SiteConnections alone(1);
    TransferLimits partLimits = limits;
    if (!partLimits.site)
        partLimits.site = &alone;
    PartBoard board;
    board.spans = PlanParts(length, partLimits.site->Count(), partLimits.site->Parts());
    const auto work = [&] {
        // The thread's edge: what escapes a part (the memory ran out) fails the whole body.
        try {
            const DownloadCancelled stopped = [&board] { return board.stop.load(); };
            while (const std::optional<ByteSpan> span = board.Take()) {
                PartSink sink(*span, length, validator, write, board.received);
                const FetchResult part = FetchWithRetries(fetcher, url, sink, partLimits, {}, stopped);
                if (!part.done())
                    board.Fail(sink.Refused() ? FetchOutcome::kUnusableRange : part.outcome, part.message);
            }
        } catch (const std::exception&) {
            board.Fail(FetchOutcome::kStorage, vorn::kGeneralFailureMessage);
        }
        const std::lock_guard<std::mutex> held(board.lock);
        --board.running;
        board.left.notify_one();
    };

    std::vector<std::thread> threads;
    // Whatever way this thread leaves, the part threads are stopped and joined first.
    const ScopeExit joinAll([&] {
        board.stop = true;
        for (std::thread& thread : threads)
            thread.join();
    });
    const std::size_t workers = std::min<std::size_t>(board.spans.size(), partLimits.site->Count());
    for (std::size_t i = 0; i < workers; ++i) {
        {
            const std::lock_guard<std::mutex> held(board.lock);
            ++board.running;
        }
        try {
            threads.emplace_back(work);
        } catch (const std::system_error&) {
            // No thread for this part: the ones running stop, and the body fails as a whole.
            {
                const std::lock_guard<std::mutex> held(board.lock);
                --board.running;
            }
            board.Fail(FetchOutcome::kStorage, vorn::kGeneralFailureMessage);
            break;
        }
    }
    std::uint64_t reported = 0;
    for (bool ended = false; !ended;) {
        {
            std::unique_lock<std::mutex> held(board.lock);
            ended = board.left.wait_for(held, kCancelPoll, [&board] { return board.running == 0; });
        }
        if (!ended && !board.stop && isCancelled && isCancelled())
            board.Fail(FetchOutcome::kCancelled, kCancelledMessage);
        const std::uint64_t received = board.received;
        if (received != reported && onProgress) {
            reported = received;
            onProgress(received, length);
        }
    }
    if (board.failure)
        return *board.failure;
    return {};
}
