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

// What the fetch threads share: the fetches not yet taken, the first failure, how many threads still run.
struct FetchBoard {
    std::mutex lock;
    std::condition_variable left;
    std::size_t count = 0;
    std::size_t next = 0;
    std::size_t running = 0;
    std::optional<FetchResult> failure;
    std::atomic<bool> stop{false};

    std::optional<std::size_t> Take()
    {
        const std::lock_guard<std::mutex> held(lock);
        if (stop || next == count)
            return std::nullopt;
        return next++;
    }

    // The first failure is the one reported; the others only follow from the stop it makes.
    void Fail(FetchResult result)
    {
        const std::lock_guard<std::mutex> held(lock);
        if (!failure)
            failure = std::move(result);
        stop = true;
    }
};

}

FetchResult RunFetches(std::size_t count, std::size_t workers, const IndexedFetch& fetch,
                       const std::function<void()>& onPoll, const DownloadCancelled& isCancelled)
{
    FetchBoard board;
    board.count = count;
    const auto work = [&] {
        // The thread's edge: what escapes a fetch (the memory ran out) fails them all.
        try {
            const DownloadCancelled stopped = [&board] { return board.stop.load(); };
            while (const std::optional<std::size_t> next = board.Take()) {
                FetchResult done = fetch(*next, stopped);
                if (!done.done())
                    board.Fail(std::move(done));
            }
        } catch (const std::exception&) {
            board.Fail({FetchOutcome::kStorage, vorn::kGeneralFailureMessage});
        }
        const std::lock_guard<std::mutex> held(board.lock);
        --board.running;
        board.left.notify_one();
    };

    std::vector<std::thread> threads;
    // Whatever way this thread leaves, the fetch threads are stopped and joined first.
    const ScopeExit joinAll([&] {
        board.stop = true;
        for (std::thread& thread : threads)
            thread.join();
    });
    for (std::size_t i = 0; i < std::min(count, workers); ++i) {
        {
            const std::lock_guard<std::mutex> held(board.lock);
            ++board.running;
        }
        try {
            threads.emplace_back(work);
        } catch (const std::system_error&) {
            // No thread for this one: the ones running stop, and the fetches fail as a whole.
            {
                const std::lock_guard<std::mutex> held(board.lock);
                --board.running;
            }
            board.Fail({FetchOutcome::kStorage, vorn::kGeneralFailureMessage});
            break;
        }
    }
    for (bool ended = false; !ended;) {
        {
            std::unique_lock<std::mutex> held(board.lock);
            ended = board.left.wait_for(held, kCancelPoll, [&board] { return board.running == 0; });
        }
        if (!ended && !board.stop && isCancelled && isCancelled())
            board.Fail({FetchOutcome::kCancelled, kCancelledMessage});
        if (onPoll)
            onPoll();
    }
    if (board.failure)
        return *board.failure;
    return {};
}

FetchResult FetchInParts(Fetcher& fetcher, const std::wstring& url, std::uint64_t length, const std::wstring& validator,
                         const TransferLimits& limits, const WriteAt& write, const DownloadProgress& onProgress,
                         const DownloadCancelled& isCancelled)
{
    SiteConnections alone(1);
    TransferLimits partLimits = limits;
    if (!partLimits.site)
        partLimits.site = &alone;
    const std::vector<ByteSpan> spans = PlanParts(length, partLimits.site->Count(), partLimits.site->Parts());
    std::atomic<std::uint64_t> received{0};
    const IndexedFetch part = [&](std::size_t i, const DownloadCancelled& stopped) {
        PartSink sink(spans[i], length, validator, write, received);
        FetchResult done = FetchWithRetries(fetcher, url, sink, partLimits, {}, stopped);
        if (!done.done() && sink.Refused())
            done.outcome = FetchOutcome::kUnusableRange;
        return done;
    };
    std::uint64_t reported = 0;
    const auto report = [&] {
        const std::uint64_t now = received;
        if (now != reported && onProgress) {
            reported = now;
            onProgress(now, length);
        }
    };
    return RunFetches(spans.size(), partLimits.site->Count(), part, report, isCancelled);
}
