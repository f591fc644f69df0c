#include "update/site_connections.h"

#include <algorithm>
#include <array>
#include <cwchar>

SiteConnections::SiteConnections(std::uint32_t count, PartSizes parts)
    : count_(std::max<std::uint32_t>(count, 1)), parts_(parts)
{
}

std::uint32_t SiteConnections::Count() const
{
    const std::lock_guard<std::mutex> held(lock_);
    return count_;
}

bool SiteConnections::Take(const DownloadCancelled& isCancelled)
{
    for (;;) {
        {
            std::unique_lock<std::mutex> held(lock_);
            if (freed_.wait_for(held, kCancelPoll, [this] { return running_ < count_; })) {
                ++running_;
                return true;
            }
        }
        // Asked without the lock: the question may take locks of its own.
        if (isCancelled && isCancelled())
            return false;
    }
}

void SiteConnections::Give()
{
    const std::lock_guard<std::mutex> held(lock_);
    --running_;
    freed_.notify_one();
}

bool SiteConnections::Refused()
{
    const std::lock_guard<std::mutex> held(lock_);
    if (running_ <= 1)
        return false;
    // The site counted the ones running when it refused; the count may be above them (a lower one was never
    // tried) or below them (they started before it was lowered).
    count_ = std::max<std::uint32_t>(1, std::min(count_, running_) - 1);
    return true;
}

namespace {

// "Sun, 06 Nov 1994 08:49:37 GMT", the one form of an HTTP date that senders may generate, as a point in time;
// none for anything else.
std::optional<std::chrono::sys_seconds> ParseHttpDate(const std::wstring& text)
{
    static constexpr std::array<const wchar_t*, 12> kMonths = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                                               L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    wchar_t weekday[4] = {};
    wchar_t monthName[4] = {};
    unsigned day = 0;
    int year = 0;
    unsigned hour = 0;
    unsigned minute = 0;
    unsigned second = 0;
    int end = 0;
    if (text.size() != 29 ||
        swscanf(text.c_str(), L"%3l[A-Za-z], %2u %3l[A-Za-z] %4d %2u:%2u:%2u GMT%n", weekday, &day, monthName,
                &year, &hour, &minute, &second, &end) != 7 ||
        end != 29 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    const auto month = std::find_if(kMonths.begin(), kMonths.end(),
                                    [&](const wchar_t* name) { return std::wcscmp(name, monthName) == 0; });
    if (month == kMonths.end())
        return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year{year},
                                           std::chrono::month{static_cast<unsigned>(month - kMonths.begin()) + 1},
                                           std::chrono::day{day}};
    if (!date.ok())
        return std::nullopt;
    return std::chrono::sys_days{date} + std::chrono::hours{hour} + std::chrono::minutes{minute} +
           std::chrono::seconds{second};
}

}

std::optional<std::chrono::seconds> ParseRetryAfter(const std::wstring& retryAfter, const std::wstring& replyDate)
{
    const std::size_t first = retryAfter.find_first_not_of(L" \t");
    if (first == std::wstring::npos)
        return std::nullopt;
    const std::size_t end = retryAfter.find_last_not_of(L" \t") + 1;
    const std::wstring value = retryAfter.substr(first, end - first);
    if (std::all_of(value.begin(), value.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
        // Far beyond any cap, so a long run of digits is no overflow.
        constexpr std::int64_t kLongest = 1 << 30;
        std::int64_t seconds = 0;
        for (const wchar_t digit : value)
            seconds = std::min(seconds * 10 + (digit - L'0'), kLongest);
        return std::chrono::seconds(seconds);
    }
    const std::optional<std::chrono::sys_seconds> until = ParseHttpDate(value);
    const std::optional<std::chrono::sys_seconds> now = ParseHttpDate(replyDate);
    if (!until || !now)
        return std::nullopt;
    return std::max(*until - *now, std::chrono::seconds{0});
}

std::chrono::milliseconds BusyPause(std::optional<std::chrono::seconds> retryAfter, std::size_t refusal)
{
    if (retryAfter)
        return std::min<std::chrono::milliseconds>(*retryAfter, kRetryAfterCap);
    return kRetryPauses[std::min(refusal, kRetryPauses.size() - 1)];
}
