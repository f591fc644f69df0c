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

// Waits out a pause in slices of kCancelPoll; false when the player cancels.
bool PauseBeforeRetry(std::chrono::milliseconds pause, const DownloadCancelled& isCancelled)
{
    const TransferClock::time_point end = TransferClock::now() + pause;
    for (;;) {
        if (isCancelled && isCancelled())
            return false;
        const TransferClock::time_point now = TransferClock::now();
        if (now >= end)
            return true;
        std::this_thread::sleep_for(std::min<TransferClock::duration>(end - now, kCancelPoll));
    }
}

}

FetchResult FetchWithRetries(Fetcher& fetcher, const std::wstring& url, FetchSink& sink, const TransferLimits& limits,
                             const DownloadProgress& onProgress, const DownloadCancelled& isCancelled)
{
    const FetchResult cancelled{FetchOutcome::kCancelled, kCancelledMessage};
    SiteConnections alone(1);
    SiteConnections& site = limits.site ? *limits.site : alone;
    for (std::size_t retry = 0, refusals = 0;;) {
        if (!site.Take(isCancelled))
            return cancelled;
        FetchResult result;
        bool crowded = false;
        {
            const ScopeExit give([&site] { site.Give(); });
            sink.AskedToWait(std::nullopt);
            result = fetcher.Fetch(url, sink, limits, onProgress, isCancelled);
            // Refused while others ran, the transfer met the site's limit rather than a failure of its own.
            crowded = result.outcome == FetchOutcome::kBusy && site.Refused();
        }
        if (!crowded && (!IsTransient(result.outcome) || retry == kRetryPauses.size()))
            return result;
        const std::chrono::milliseconds pause =
            result.outcome == FetchOutcome::kBusy ? BusyPause(sink.AskedWait(), refusals++) : kRetryPauses[retry];
        if (!crowded)
            ++retry;
        if (result.outcome == FetchOutcome::kUnusableRange)
            sink.Forget();
        if (!PauseBeforeRetry(pause, isCancelled))
            return cancelled;
    }
}
