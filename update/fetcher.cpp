#include "update/fetcher.h"

namespace {

std::wstring Seconds(std::chrono::milliseconds span)
{
    return std::to_wstring(span.count() / 1000);
}

}

TransferLimits ManifestLimits()
{
    TransferLimits limits;
    limits.deadline = kManifestDeadline;
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
    if (limits_.deadline && now - start_ >= *limits_.deadline)
        return Verdict::kPastDeadline;
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
    case Verdict::kPastDeadline:
        return L"服务器响应太慢：" + Seconds(limits_.deadline.value_or(std::chrono::milliseconds{})) +
               L" 秒内未能下载完成。请稍后重试。";
    case Verdict::kGoOn:
        break;
    }
    return {};
}

std::wstring HttpStatusMessage(unsigned long status)
{
    return L"HTTP 状态码：" + std::to_wstring(status);
}

std::wstring ByteCapMessage(std::uint64_t cap)
{
    return L"服务器发来的内容超过 " + std::to_wstring(cap >> 20) + L" MiB 上限，已停止下载。请确认更新地址是否正确。";
}
