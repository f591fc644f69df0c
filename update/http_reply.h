#pragma once

// What a reply's status line and headers say, read as plain values: the outcome of a status, a redirect's next
// address, the content coding, the range and length of the body, the validator a later range request carries.

#include "update/fetcher.h"
#include "update/result.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The message for a reply whose status is not a success.
std::wstring HttpStatusMessage(unsigned long status);

// WinHTTP's own default, which the launcher kept while WinHTTP followed redirects for it: more than a mirror
// and a move or two need, few enough that a loop ends at once.
inline constexpr std::size_t kMaxRedirects = 10;
inline constexpr wchar_t kBadRedirectMessage[] = L"更新服务器转向了无效的地址，已拒绝";

// Whether a reply with this status sends the request on to its Location.
bool IsRedirectStatus(unsigned long status);

// The address a fetch asks next after a redirect to `location` from `from`, when `followed` redirects came
// before it in a row: Location read relative to `from` (RedirectTarget). A failure for a Location that names no
// http or https address, for a way from HTTPS to plain HTTP, and past kMaxRedirects.
vorn::Result<std::wstring> NextAfterRedirect(const std::wstring& from, const std::wstring& location,
                                             std::size_t followed);

// The message for a body in a content coding the request did not ask for; none for a body as it is (no coding,
// or "identity").
std::optional<std::wstring> UnaskedEncoding(const std::wstring& contentEncoding);

// The outcome of a reply's status: kDone for a success, kBusy for 503 and 429, kServerError for another 5xx, else
// kStatus.
FetchOutcome StatusOutcome(unsigned long status);

// The validator a range request may carry: the ETag unless it is weak, else Last-Modified; empty: none.
std::wstring RangeValidator(const std::wstring& etag, const std::wstring& lastModified);

// Whether an Accept-Ranges header names byte ranges.
bool AcceptsByteRanges(const std::wstring& acceptRanges);

// "bytes FIRST-LAST/TOTAL" of a Content-Range header.
struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t total = 0;
};
std::optional<ContentRange> ParseContentRange(const std::wstring& text);

// Where the body of a success reply starts, given the resume point the request asked from (if any): 0 for a
// whole body, resume->offset for a 206 whose range runs from there to the end asked (the body's end unless
// resume->end says otherwise) of a body of the same length; none for a range reply that does not.
std::optional<std::uint64_t> ReplyOffset(unsigned long status, const std::optional<ResumePoint>& resume,
                                         const std::optional<ContentRange>& range);

// The Content-Length header text as a byte count: leading decimal digits are enough; an empty, non-numeric or
// overflowing text gives no length.
std::optional<std::uint64_t> ParseContentLength(const std::wstring& text);
