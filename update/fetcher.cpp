#include "update/fetcher.h"

#include "base/text.h"
#include "base/unique_resource.h"
#include "update/download_url.h"
#include "update/site_connections.h"

#include <algorithm>
#include <cwchar>
#include <limits>
#include <string_view>
#include <thread>
#include <utility>

namespace {

std::wstring Seconds(std::chrono::milliseconds span)
{
    return std::to_wstring(span.count() / 1000);
}

}

TransferLimits ManifestLimits()
{
    TransferLimits limits;
    limits.byteCap = kManifestByteCap;
    limits.bypassCaches = true;
    return limits;
}

TransferPace::TransferPace(const TransferLimits& limits, TransferClock::time_point start)
    : limits_(limits), start_(start), lastProgress_(start), samples_{Sample{start, 0}}
{
}

void TransferPace::Progress(std::uint64_t received, TransferClock::time_point now)
{
    if (received > received_) {
        received_ = received;
        lastProgress_ = now;
    }
    Record(now);
}

void TransferPace::Record(TransferClock::time_point now)
{
    if (now - samples_.back().time >= limits_.rateWindow / 32)
        samples_.push_back(Sample{now, received_});
    while (samples_.size() >= 2 && samples_[1].time <= now - limits_.rateWindow)
        samples_.pop_front();
}

TransferPace::Verdict TransferPace::Check(TransferClock::time_point now)
{
    Record(now);
    if (now - lastProgress_ >= limits_.stallLimit)
        return Verdict::kStalled;
    if (now - start_ >= limits_.rateWindow) {
        const Sample& oldest = samples_.front();
        const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(now - oldest.time).count();
        const std::uint64_t bytes = received_ - oldest.received;
        if (bytes * 1000 < limits_.minimumBytesPerSecond * static_cast<std::uint64_t>(span))
            return Verdict::kTooSlow;
    }
    return Verdict::kGoOn;
}

std::wstring TransferPace::Message(Verdict verdict) const
{
    switch (verdict) {
    case Verdict::kStalled:
        return L"服务器响应太慢：" + Seconds(limits_.stallLimit) + L" 秒内没有收到任何数据。请稍后重试。";
    case Verdict::kTooSlow:
        return L"服务器速度太慢：最近 " + Seconds(limits_.rateWindow) + L" 秒平均每秒不到 " +
               std::to_wstring(limits_.minimumBytesPerSecond / 1024) + L" KiB。请稍后重试。";
    case Verdict::kGoOn:
        break;
    }
    return {};
}

std::wstring HttpStatusMessage(unsigned long status)
{
    return L"HTTP 状态码：" + std::to_wstring(status);
}

namespace {

// A size as the player reads it: whole GiB or MiB when it is one, else the bytes.
std::wstring SizeText(std::uint64_t bytes)
{
    if (bytes >= (1ull << 30) && bytes % (1ull << 30) == 0)
        return std::to_wstring(bytes >> 30) + L" GiB";
    if (bytes >= (1ull << 20) && bytes % (1ull << 20) == 0)
        return std::to_wstring(bytes >> 20) + L" MiB";
    return std::to_wstring(bytes) + L" 字节";
}

}

std::optional<std::wstring> PastBound(const TransferLimits& limits, std::optional<std::uint64_t> announced,
                                      std::uint64_t bytes)
{
    if (limits.signedSize && bytes > *limits.signedSize) {
        if (announced)
            return L"文件大小与更新签名不符：服务器声明 " + SizeText(*announced) + L"，签名为 " +
                   SizeText(*limits.signedSize) + L"，已停止下载。";
        return L"文件大小与更新签名不符：服务器发来的内容超过签名中的 " + SizeText(*limits.signedSize) +
               L"，已停止下载。";
    }
    if (limits.byteCap && bytes > *limits.byteCap)
        return L"服务器发来的内容超过 " + SizeText(*limits.byteCap) + L" 上限，已停止下载。请确认更新地址是否正确。";
    if (!announced && bytes > limits.unknownLengthCap)
        return L"服务器没有告知文件大小，发来的内容已超过 " + SizeText(limits.unknownLengthCap) +
               L" 上限，已停止下载。请确认更新地址是否正确。";
    return std::nullopt;
}

bool IsTransient(FetchOutcome outcome)
{
    switch (outcome) {
    case FetchOutcome::kDropped:
    case FetchOutcome::kServerError:
    case FetchOutcome::kBusy:
    case FetchOutcome::kShortBody:
    case FetchOutcome::kUnusableRange:
        return true;
    default:
        return false;
    }
}

bool IsRedirectStatus(unsigned long status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::optional<std::wstring> NextAfterRedirect(const std::wstring& from, const std::wstring& location,
                                              std::size_t followed, std::wstring& error)
{
    const auto scheme = [](const std::wstring& address, const wchar_t* prefix) {
        return _wcsnicmp(address.c_str(), prefix, wcslen(prefix)) == 0;
    };
    std::optional<std::wstring> next = RedirectTarget(from, location);
    if (!next || !(scheme(*next, L"http://") || scheme(*next, L"https://"))) {
        error = kBadRedirectMessage;
        return std::nullopt;
    }
    // Anyone on the way could answer a plain request: what was asked over HTTPS stays on HTTPS.
    if (scheme(from, L"https://") && scheme(*next, L"http://")) {
        error = L"更新服务器把请求从 HTTPS 转向了 HTTP 地址，已拒绝";
        return std::nullopt;
    }
    if (followed >= kMaxRedirects) {
        error = L"更新服务器转向次数过多（超过 " + std::to_wstring(kMaxRedirects) + L" 次），已停止。请确认更新地址是否正确";
        return std::nullopt;
    }
    return next;
}

std::optional<std::wstring> UnaskedEncoding(const std::wstring& contentEncoding)
{
    // The launcher asks for no content coding, so the bytes a body brings are the file's own: a server that
    // encodes them anyway (a compressing proxy, a misconfigured site) would only fail the file's check after the
    // whole download.
    const std::wstring coding = TrimWide(contentEncoding);
    if (coding.empty() || _wcsicmp(coding.c_str(), L"identity") == 0)
        return std::nullopt;
    std::wstring shown;
    for (const wchar_t c : coding.substr(0, 32))
        shown.push_back(c > L' ' && c < 0x7F ? c : L'?');
    return L"服务器以未经请求的编码（" + shown + L"）发送内容，已停止下载。请在更新站点关闭对这些文件的压缩";
}

FetchOutcome StatusOutcome(unsigned long status)
{
    constexpr unsigned long kTooManyRequests = 429;
    constexpr unsigned long kServiceUnavailable = 503;
    if (status >= 200 && status <= 299)
        return FetchOutcome::kDone;
    if (status == kTooManyRequests || status == kServiceUnavailable)
        return FetchOutcome::kBusy;
    return status >= 500 && status <= 599 ? FetchOutcome::kServerError : FetchOutcome::kStatus;
}

std::wstring RangeValidator(const std::wstring& etag, const std::wstring& lastModified)
{
    // A weak ETag says only that two bodies mean the same, not that their bytes are equal.
    const std::wstring& validator = !etag.empty() && !etag.starts_with(L"W/") ? etag : lastModified;
    // It goes into a request header as it is: no line break may end that header early.
    if (std::any_of(validator.begin(), validator.end(), [](wchar_t c) { return c < L' ' || c == 0x7F; }))
        return {};
    return validator;
}

bool AcceptsByteRanges(const std::wstring& acceptRanges)
{
    // A list of range units, separated by commas.
    for (std::size_t start = 0; start <= acceptRanges.size();) {
        std::size_t end = acceptRanges.find(L',', start);
        if (end == std::wstring::npos)
            end = acceptRanges.size();
        const std::size_t first = acceptRanges.find_first_not_of(L" \t", start);
        const std::size_t last = acceptRanges.find_last_not_of(L" \t", end - 1);
        if (first < end && last != std::wstring::npos && last + 1 - first == 5 &&
            _wcsnicmp(acceptRanges.c_str() + first, L"bytes", 5) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

namespace {

// Decimal digits at text[at...] as a number, moving at past them; none without a digit or on overflow.
std::optional<std::uint64_t> ReadNumber(const std::wstring& text, std::size_t& at)
{
    const std::size_t start = at;
    std::uint64_t value = 0;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
        const auto digit = static_cast<std::uint64_t>(text[at] - L'0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    if (at == start)
        return std::nullopt;
    return value;
}

}

std::optional<ContentRange> ParseContentRange(const std::wstring& text)
{
    std::size_t at = text.find_first_not_of(L" \t");
    constexpr std::wstring_view kUnit = L"bytes ";
    if (at == std::wstring::npos || text.compare(at, kUnit.size(), kUnit) != 0)
        return std::nullopt;
    at += kUnit.size();
    ContentRange range;
    const std::optional<std::uint64_t> first = ReadNumber(text, at);
    if (!first || at >= text.size() || text[at++] != L'-')
        return std::nullopt;
    const std::optional<std::uint64_t> last = ReadNumber(text, at);
    if (!last || at >= text.size() || text[at++] != L'/')
        return std::nullopt;
    const std::optional<std::uint64_t> total = ReadNumber(text, at);
    if (!total || text.find_first_not_of(L" \t", at) != std::wstring::npos)
        return std::nullopt;
    if (*first > *last || *last >= *total)
        return std::nullopt;
    return ContentRange{*first, *last, *total};
}

std::optional<std::uint64_t> ReplyOffset(unsigned long status, const std::optional<ResumePoint>& resume,
                                         const std::optional<ContentRange>& range)
{
    constexpr unsigned long kPartialContent = 206;
    if (status != kPartialContent || !resume)
        return 0;
    if (range && range->first == resume->offset && range->last + 1 == resume->end.value_or(resume->total) &&
        range->total == resume->total)
        return resume->offset;
    return std::nullopt;
}

HeldBody::HeldBody(std::uint64_t first, std::uint64_t end, std::uint64_t length, std::wstring validator)
    : first_(first), end_(end), length_(length), validator_(std::move(validator))
{
}

bool HeldBody::Open(const FetchReply& reply)
{
    // A whole body (the validator no longer matched) or another range does not continue a part.
    if (end_)
        return reply.offset == Next() && reply.length == end_;
    if (reply.offset == 0)
        bytes_ = 0;
    length_ = reply.length;
    validator_ = reply.validator;
    return true;
}

std::optional<ResumePoint> HeldBody::Resume() const
{
    if (end_)
        return ResumePoint{Next(), *length_, validator_, end_};
    if (!length_ || validator_.empty() || bytes_ == 0 || bytes_ >= *length_)
        return std::nullopt;
    return ResumePoint{bytes_, *length_, validator_, std::nullopt};
}

void HeldBody::Forget()
{
    if (end_)
        return;
    length_.reset();
    validator_.clear();
}

namespace {

// Waits out a pause in slices of kCancelPoll; false, with error set, when the player cancels.
bool PauseBeforeRetry(std::chrono::milliseconds pause, const DownloadCancelled& isCancelled, std::wstring& error)
{
    const TransferClock::time_point end = TransferClock::now() + pause;
    for (;;) {
        if (isCancelled && isCancelled()) {
            error = kCancelledMessage;
            return false;
        }
        const TransferClock::time_point now = TransferClock::now();
        if (now >= end)
            return true;
        std::this_thread::sleep_for(std::min<TransferClock::duration>(end - now, kCancelPoll));
    }
}

}

FetchOutcome FetchWithRetries(Fetcher& fetcher, const std::wstring& url, FetchSink& sink, const TransferLimits& limits,
                              const DownloadProgress& onProgress, const DownloadCancelled& isCancelled,
                              std::wstring& error)
{
    SiteConnections alone(1);
    SiteConnections& site = limits.site ? *limits.site : alone;
    for (std::size_t retry = 0, refusals = 0;;) {
        if (!site.Take(isCancelled)) {
            error = kCancelledMessage;
            return FetchOutcome::kCancelled;
        }
        FetchOutcome outcome = FetchOutcome::kDone;
        bool crowded = false;
        {
            const ScopeExit give([&site] { site.Give(); });
            sink.AskedToWait(std::nullopt);
            outcome = fetcher.Fetch(url, sink, limits, onProgress, isCancelled, error);
            // Refused while others ran, the transfer met the site's limit rather than a failure of its own.
            crowded = outcome == FetchOutcome::kBusy && site.Refused();
        }
        if (!crowded && (!IsTransient(outcome) || retry == kRetryPauses.size()))
            return outcome;
        const std::chrono::milliseconds pause =
            outcome == FetchOutcome::kBusy ? BusyPause(sink.AskedWait(), refusals++) : kRetryPauses[retry];
        if (!crowded)
            ++retry;
        if (outcome == FetchOutcome::kUnusableRange)
            sink.Forget();
        if (!PauseBeforeRetry(pause, isCancelled, error))
            return FetchOutcome::kCancelled;
    }
}
