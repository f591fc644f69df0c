#pragma once

// The seam between moving bytes and keeping them: a Fetcher brings the body of one URL into a FetchSink within
// the limits of one transfer. The WinHTTP fetcher (http_download.h) is the real one; the file sink and the free
// space check are on the storage side (DownloadToFile). One fetcher serves a whole update transaction, so an
// implementation may keep its session between fetches.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

// Called after every chunk with (received, total); total is 0 while the length is unknown.
using DownloadProgress = std::function<void(std::uint64_t received, std::uint64_t total)>;
// True stops the transfer. Asked before anything else, before every read and at least every kCancelPoll while
// the fetcher waits for the server, always on the thread that called Fetch.
using DownloadCancelled = std::function<bool()>;

using TransferClock = std::chrono::steady_clock;

// A cancel is seen this often while the fetcher waits, so the player's "cancel" takes effect well within 2 s
// even while a server drips one byte a minute.
inline constexpr std::chrono::milliseconds kCancelPoll{100};
// A server that sends nothing for this long is taken as gone; the same span WinHTTP waits for a reply.
inline constexpr std::chrono::milliseconds kStallLimit{30000};
// Averaged over this window a transfer must bring kMinimumBytesPerSecond: a server that drips a byte every few
// seconds never trips the stall limit but would hold the update (and the "进入游戏" button) for days.
inline constexpr std::chrono::milliseconds kRateWindow{60000};
inline constexpr std::uint64_t kMinimumBytesPerSecond = 1024;
// The manifest is a few KiB per thousand files; a site that cannot deliver it in a minute is broken, and the
// player waits for it before anything else happens.
inline constexpr std::chrono::milliseconds kManifestDeadline{60000};
// The manifest is read whole into memory after its download. 16 MiB holds the most entries the parser accepts
// (100,000) with paths of about fifty characters; a longer body is not a manifest the launcher can use.
inline constexpr std::uint64_t kManifestByteCap = 16ull << 20;

// The bounds of one transfer, and whether it must come from the origin.
struct TransferLimits {
    std::chrono::milliseconds stallLimit = kStallLimit;
    std::chrono::milliseconds rateWindow = kRateWindow;
    std::uint64_t minimumBytesPerSecond = kMinimumBytesPerSecond;
    std::optional<std::chrono::milliseconds> deadline;  // the whole transfer, from its start
    std::optional<std::uint64_t> byteCap;               // the body, announced or received
    // Asks every cache on the way for a fresh copy. The manifest always needs one; a file does not, since its
    // checksum catches a stale copy, and a cache in front of the site then spares the site that request.
    bool bypassCaches = false;
};

// The limits of the manifest download: the general ones, a deadline, a size cap and a fresh copy.
TransferLimits ManifestLimits();

// Whether a transfer may go on, decided on the byte count and the clock alone.
class TransferPace {
public:
    enum class Verdict { kGoOn, kStalled, kTooSlow, kPastDeadline };

    TransferPace(const TransferLimits& limits, TransferClock::time_point start);
    // The body has reached `received` bytes at `now`.
    void Progress(std::uint64_t received, TransferClock::time_point now);
    Verdict Check(TransferClock::time_point now);
    // The message for the player for a verdict other than kGoOn; each says the server is too slow.
    std::wstring Message(Verdict verdict) const;

private:
    struct Sample {
        TransferClock::time_point time;
        std::uint64_t received = 0;
    };
    void Record(TransferClock::time_point now);

    TransferLimits limits_;
    TransferClock::time_point start_;
    TransferClock::time_point lastProgress_;
    std::uint64_t received_ = 0;
    // Byte counts a little apart in time; the first is the latest one at least a window old, so the average is
    // taken over just over one window. At most about 33 entries.
    std::deque<Sample> samples_;
};

// The message for a reply whose status is not a success.
std::wstring HttpStatusMessage(unsigned long status);

// The message for a body larger than the cap (announced or received).
std::wstring ByteCapMessage(std::uint64_t cap);

// Where a fetched body goes.
class FetchSink {
public:
    virtual ~FetchSink() = default;
    // The reply is good and its body follows; length is the announced size, if any. False, with error set,
    // stops the transfer before any byte is read.
    virtual bool Open(std::optional<std::uint64_t> length, std::wstring& error) = 0;
    // One chunk of the body, in order. False, with error set, stops the transfer.
    virtual bool Write(const char* data, std::size_t size, std::wstring& error) = 0;
};

class Fetcher {
public:
    virtual ~Fetcher() = default;
    // GET of url into sink within limits. True when the whole body is in the sink and, when a length was
    // announced, it matched; otherwise error holds one message for the player. onProgress may be empty.
    virtual bool Fetch(const std::wstring& url, FetchSink& sink, const TransferLimits& limits,
                       const DownloadProgress& onProgress, const DownloadCancelled& isCancelled,
                       std::wstring& error) = 0;
};
