#include "update/http_reply.h"

#include "base/text.h"
#include "update/download_url.h"

#include <algorithm>
#include <cwchar>
#include <exception>
#include <limits>
#include <string_view>

std::wstring HttpStatusMessage(unsigned long status)
{
    return L"HTTP 状态码：" + std::to_wstring(status);
}

bool IsRedirectStatus(unsigned long status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

vorn::Result<std::wstring> NextAfterRedirect(const std::wstring& from, const std::wstring& location,
                                             std::size_t followed)
{
    const auto scheme = [](const std::wstring& address, const wchar_t* prefix) {
        return _wcsnicmp(address.c_str(), prefix, wcslen(prefix)) == 0;
    };
    std::optional<std::wstring> next = RedirectTarget(from, location);
    if (!next || !(scheme(*next, L"http://") || scheme(*next, L"https://")))
        return vorn::Failure{kBadRedirectMessage};
    // Anyone on the way could answer a plain request: what was asked over HTTPS stays on HTTPS.
    if (scheme(from, L"https://") && scheme(*next, L"http://"))
        return vorn::Failure{L"更新服务器把请求从 HTTPS 转向了 HTTP 地址，已拒绝"};
    if (followed >= kMaxRedirects)
        return vorn::Failure{L"更新服务器转向次数过多（超过 " + std::to_wstring(kMaxRedirects) +
                             L" 次），已停止。请确认更新地址是否正确"};
    return *next;
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

std::optional<std::uint64_t> ParseContentLength(const std::wstring& text)
{
    try {
        return std::stoull(text, nullptr, 10);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}
