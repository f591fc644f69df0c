#pragma once

// The seam between moving bytes and keeping them: a Fetcher brings the body of one URL into a FetchSink within
// the limits of one transfer. The WinHTTP fetcher (http_download.h) is the real one; the file sink and the free
// space check are on the storage side (DownloadToFile). One fetcher serves a whole update transaction, so an
// implementation may keep its session between fetches.

#include "update/result.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

class SiteConnections;

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
// The operator's VORN_MAX_UNKNOWN_LENGTH by default: a body whose length the server does not announce may bring
// this much and no more. Past the largest file a client has, short of what a disk that holds the client can spare.
inline constexpr std::uint64_t kDefaultMaxUnknownLength = 4ull << 30;
// The manifest is read whole into memory after its download. 16 MiB holds the most entries the parser accepts
// (100,000) with paths of about fifty characters; a longer body is not a manifest the launcher can use.
inline constexpr std::uint64_t kManifestByteCap = 16ull << 20;

// The bounds of one transfer, and whether it must come from the origin. No clock bounds the whole transfer: a
// player on a slow line whose server keeps above the rate floor gets even a large manifest, however long it
// takes; the stall limit, the rate floor and the caps stop a server that is gone, drips or never ends.
struct TransferLimits {
    std::chrono::milliseconds stallLimit = kStallLimit;
    std::chrono::milliseconds rateWindow = kRateWindow;
    std::uint64_t minimumBytesPerSecond = kMinimumBytesPerSecond;
    std::optional<std::uint64_t> byteCap;               // the body, announced or received
    // The body's size as the release record signs it: a body that announces or brings more is refused.
    std::optional<std::uint64_t> signedSize;
    std::uint64_t unknownLengthCap = kDefaultMaxUnknownLength;  // a body whose length is not announced
    // Asks every cache on the way for a fresh copy. The manifest always needs one; a file does not, since its
    // checksum catches a stale copy, and a cache in front of the site then spares the site that request.
    bool bypassCaches = false;
    // Shared by the transfers of one update (site_connections.h): how many run at once; none: this one alone.
    SiteConnections* site = nullptr;
};

// The limits of the manifest download: the general ones, a size cap and a fresh copy.
TransferLimits ManifestLimits();

// Whether a transfer may go on, decided on the byte count and the clock alone.
class TransferPace {
public:
    enum class Verdict { kGoOn, kStalled, kTooSlow };

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

// The message for a body that has reached `bytes`, announced or received, past a bound of limits (a cap, the
// signed size, the cap on a body of unknown length); none within them. `announced`: the length the server gave.
std::optional<std::wstring> PastBound(const TransferLimits& limits, std::optional<std::uint64_t> announced,
                                      std::uint64_t bytes);

// How a fetch ended. Every outcome but kDone comes with a message for the player.
enum class FetchOutcome {
    kDone,
    kCancelled,
    kRefused,        // no usable request: a bad address, no connection, a refused certificate or redirect,
                     // too many redirects
    kDropped,        // the connection was lost part way
    kServerError,    // a 5xx status other than 503
    kBusy,           // 503 or 429: the site has too much to do now
    kStatus,         // any other status that is not a success
    kShortBody,      // fewer bytes than the announced length
    kStalled,
    kTooSlow,
    kByteCap,
    kUnaskedEncoding,  // a body in a content coding the request did not ask for
    kStorage,        // the sink refused the body (no room, no file)
    kUnusableRange,  // a range reply that does not continue the held bytes
};

// How a fetch ended: kDone, or the kind of its failure and the message for the player. The fetcher keeps its kind
// beside the message because its retry rules decide on it (IsTransient, a busy site); the floor above sees the
// message alone (DownloadToFile's Status).
struct FetchResult {
    FetchOutcome outcome = FetchOutcome::kDone;
    std::wstring message;

    bool done() const { return outcome == FetchOutcome::kDone; }
};

// Whether trying again may succeed: a lost connection, a server error, a busy site or a short body may pass
// within seconds; a refused request, a missing file, a cap, a full disk or the player's cancel do not. A server
// that went silent or is too slow has already held the player for its limit (kStallLimit, kRateWindow); it fails
// at once.
bool IsTransient(FetchOutcome outcome);

// A transient failure is tried again this many times, after these pauses: long enough for a blip of the network
// or a server's restart to pass, short enough that a failure that stays is reported within a few seconds.
inline constexpr std::array<std::chrono::milliseconds, 3> kRetryPauses{std::chrono::milliseconds{500},
                                                                      std::chrono::milliseconds{1000},
                                                                      std::chrono::milliseconds{2000}};

// Where a fetch may pick up a body whose start is already held.
struct ResumePoint {
    std::uint64_t offset = 0;  // the bytes held
    std::uint64_t total = 0;   // the whole body's length, as announced with them
    std::wstring validator;    // the ETag or Last-Modified that came with them
    // Where the bytes wanted end, for a part of the body (ranged_download.h); none: at the body's end.
    std::optional<std::uint64_t> end;
};

// What a good reply says about the body that follows it.
struct FetchReply {
    // Where the bytes that follow end: the whole body's length when announced, or the end of the range asked.
    std::optional<std::uint64_t> length;
    std::uint64_t offset = 0;             // where the bytes that follow go: the held bytes' end when resumed
    std::wstring validator;               // what a later range request may carry; empty: none
    bool byteRanges = false;              // the server said it serves byte ranges (Accept-Ranges: bytes)
};

// The message for a transfer the player (or a failure of the update) stopped.
inline constexpr wchar_t kCancelledMessage[] = L"更新操作已取消。";
// The message for a range reply that does not continue the bytes asked for.
inline constexpr wchar_t kUnusableRangeMessage[] = L"服务器返回的续传数据与请求不符，请重试";

// Where a fetched body goes.
class FetchSink {
public:
    virtual ~FetchSink() = default;
    // The reply is good and its body follows. A failure stops the transfer before any byte is read.
    virtual vorn::Status Open(const FetchReply& reply) = 0;
    // One chunk of the body, in order. A failure stops the transfer.
    virtual vorn::Status Write(const char* data, std::size_t size) = 0;
    // Where the next fetch into this sink may pick up; none (the default) asks for the whole body.
    virtual std::optional<ResumePoint> Resume() const { return std::nullopt; }
    // A range reply did not continue the bytes held: the next fetch asks for the whole body.
    virtual void Forget() {}

    // What a busy site's last reply asked (Retry-After): how long to wait before the next try; none: nothing.
    void AskedToWait(std::optional<std::chrono::seconds> wait) { askedWait_ = wait; }
    std::optional<std::chrono::seconds> AskedWait() const { return askedWait_; }

private:
    std::optional<std::chrono::seconds> askedWait_;
};

// What a sink holds of one body, or of one part of it, between the tries of a transfer, and so where a later try
// may pick it up.
class HeldBody {
public:
    // A whole body, of the length and validator its replies announce.
    HeldBody() = default;
    // The bytes [first, end) of a body of `length` bytes whose server sends ranges with `validator`: every try
    // asks for the rest of that range, the first one too.
    HeldBody(std::uint64_t first, std::uint64_t end, std::uint64_t length, std::wstring validator);

    // A good reply. A whole body from offset 0 starts again from nothing; a part takes only the rest of its range,
    // and false says the reply brings something else.
    bool Open(const FetchReply& reply);
    void Add(std::uint64_t bytes) { bytes_ += bytes; }
    std::uint64_t Bytes() const { return bytes_; }
    // Where the next byte goes in the body.
    std::uint64_t Next() const { return first_ + bytes_; }
    std::optional<std::uint64_t> Length() const { return length_; }
    const std::wstring& Validator() const { return validator_; }
    // The bytes held, when the server gave their length and a validator a range request can carry; for a part,
    // always.
    std::optional<ResumePoint> Resume() const;
    // A range reply did not continue a whole body: the next try asks for all of it. A part only comes as a range.
    void Forget();

private:
    std::uint64_t first_ = 0;
    std::optional<std::uint64_t> end_;     // a part's
    std::uint64_t bytes_ = 0;
    std::optional<std::uint64_t> length_;  // of the whole body, as the last reply announced it
    std::wstring validator_;               // of the last reply
};

class Fetcher {
public:
    virtual ~Fetcher() = default;
    // GET of url into sink within limits, from where sink.Resume() says when the server can continue there.
    // kDone when the whole body is in the sink and, when a length was announced, it matched; otherwise one
    // message for the player. onProgress may be empty; it counts the held bytes too.
    virtual FetchResult Fetch(const std::wstring& url, FetchSink& sink, const TransferLimits& limits,
                              const DownloadProgress& onProgress, const DownloadCancelled& isCancelled) = 0;
};

// Fetch through fetcher, with a transient failure (IsTransient) tried again after each of kRetryPauses; a cancel
// is seen within kCancelPoll of a pause. Every try waits for a connection of limits.site. A busy site (kBusy)
// that refused while other transfers ran gets fewer at once and this transfer again after its Retry-After (up to
// kRetryAfterCap) or a growing pause, without counting against its tries; refused alone, it is tried again like
// any transient failure, after that wait. The last try's result.
FetchResult FetchWithRetries(Fetcher& fetcher, const std::wstring& url, FetchSink& sink, const TransferLimits& limits,
                             const DownloadProgress& onProgress, const DownloadCancelled& isCancelled);
