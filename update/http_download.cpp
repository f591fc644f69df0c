#include "update/http_download.h"

#include "base/unique_resource.h"
#include "update/http_reply.h"
#include "update/site_connections.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <utility>
#include <stdexcept>
#include <vector>

namespace {

struct InternetHandleTraits {
    using Type = HINTERNET;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { WinHttpCloseHandle(h); }
};
using UniqueInternet = UniqueResource<InternetHandleTraits>;

constexpr wchar_t kUserAgent[] = L"VornLauncher/1.0";
constexpr wchar_t kNoCacheHeaders[] = L"Cache-Control: no-cache\r\nPragma: no-cache\r\n";
constexpr int kResolveTimeoutMs = 5000;
constexpr int kConnectTimeoutMs = 5000;
constexpr int kSendTimeoutMs = 15000;
constexpr int kReceiveTimeoutMs = 30000;
constexpr DWORD kReadChunkBytes = 65536;
constexpr DWORD kRequestEvents = WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES;

constexpr wchar_t kBadAddressMessage[] = L"下载地址无效";
constexpr wchar_t kReadFailure[] = L"HTTP 数据读取失败，错误码：";

// The failures of a TLS handshake and of the server's certificate. Windows names the certificate's fault
// (untrusted authority, other host name, ...); Wine reports each of them as a failed secure channel.
bool IsSecureConnectionError(DWORD code)
{
    switch (code) {
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
        return true;
    default:
        return false;
    }
}

// What a failed request tells the player, naming the refusals that protect an HTTPS update site: a certificate
// that is not good for this address, or a server that speaks no TLS version the launcher accepts.
std::wstring RequestFailureMessage(bool secure, DWORD code)
{
    const wchar_t* reason = L"HTTP 请求失败";
    if (secure && IsSecureConnectionError(code))
        reason = L"无法与更新服务器建立安全连接：服务器证书不受信任、已过期或与下载地址不符，"
                 L"或服务器不支持 TLS 1.2 及以上版本";
    return std::wstring(reason) + L"，错误码：" + std::to_wstring(code);
}

// A Location longer than this is no address a server of the update site would send.
constexpr std::size_t kMaxLocationChars = 8192;

struct UrlParts {
    bool secure = false;
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring objectName;
};

bool CrackDownloadUrl(const std::wstring& url, UrlParts& parts)
{
    URL_COMPONENTS components{};
    components.dwStructSize = sizeof(components);
    components.dwSchemeLength = static_cast<DWORD>(-1);
    components.dwHostNameLength = static_cast<DWORD>(-1);
    components.dwUrlPathLength = static_cast<DWORD>(-1);
    components.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &components))
        return false;
    if (components.nScheme != INTERNET_SCHEME_HTTP && components.nScheme != INTERNET_SCHEME_HTTPS)
        return false;
    if (components.lpszHostName == nullptr || components.dwHostNameLength == 0)
        return false;
    parts.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
    parts.host.assign(components.lpszHostName, components.dwHostNameLength);
    parts.port = components.nPort;
    if (components.lpszUrlPath != nullptr)
        parts.objectName.assign(components.lpszUrlPath, components.dwUrlPathLength);
    if (components.lpszExtraInfo != nullptr)
        parts.objectName.append(components.lpszExtraInfo, components.dwExtraInfoLength);
    return true;
}

// What WinHTTP reports about the one operation pending on a request. The request handle owns it: it is freed
// when WinHTTP says the handle is closing, which is the last call for that handle, possibly on another thread.
// A slim lock and a condition variable rather than an event: a download makes two operations per few KiB, and
// they cost no kernel call when nobody has to wait.
struct RequestEvents {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE ended = CONDITION_VARIABLE_INIT;
    bool done = false;
    DWORD completion = 0;  // the status that ended the operation
    DWORD bytes = 0;       // bytes available or read
    DWORD error = 0;       // for WINHTTP_CALLBACK_STATUS_REQUEST_ERROR
};

void CALLBACK OnRequestEvent(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD length)
{
    auto* events = reinterpret_cast<RequestEvents*>(context);
    if (events == nullptr)
        return;
    if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
        delete events;
        return;
    }
    DWORD bytes = 0;
    DWORD error = 0;
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
        bytes = *static_cast<const DWORD*>(information);
        break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        bytes = length;
        break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        error = static_cast<const WINHTTP_ASYNC_RESULT*>(information)->dwError;
        break;
    default:
        return;
    }
    AcquireSRWLockExclusive(&events->lock);
    events->done = true;
    events->completion = status;
    events->bytes = bytes;
    events->error = error;
    WakeConditionVariable(&events->ended);
    ReleaseSRWLockExclusive(&events->lock);
}

// Whether a failed request or read lost a connection that was there: a reset, or a reply cut before its head
// ended. Trying again may then succeed, unlike for an address that refuses connections or a refused certificate.
bool IsLostConnection(DWORD code)
{
    return code == ERROR_WINHTTP_CONNECTION_ERROR || code == ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
}

DWORD QueryStatusCode(HINTERNET request)
{
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        return 0;
    return status;
}

// A header's text; empty when it is missing or longer than maxChars, more than a header this client uses can be.
std::wstring QueryHeaderText(HINTERNET request, DWORD header, std::size_t maxChars = 255)
{
    std::wstring text(maxChars + 1, L'\0');
    auto size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (!WinHttpQueryHeaders(request, header, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                             WINHTTP_NO_HEADER_INDEX))
        return {};
    text.resize(size / sizeof(wchar_t));
    return text;
}

std::optional<std::uint64_t> QueryContentLength(HINTERNET request)
{
    const std::wstring text = QueryHeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH);
    if (text.empty())
        return std::nullopt;
    return ParseContentLength(text);
}

// The headers a request adds: a fresh copy asked of every cache, and a range from the held bytes on.
std::wstring RequestHeaders(const TransferLimits& limits, const std::optional<ResumePoint>& resume)
{
    std::wstring headers = limits.bypassCaches ? kNoCacheHeaders : L"";
    if (resume)
        headers += L"Range: bytes=" + std::to_wstring(resume->offset) + L"-" +
                   (resume->end ? std::to_wstring(*resume->end - 1) : L"") + L"\r\nIf-Range: " + resume->validator +
                   L"\r\n";
    return headers;
}

// One GET on an asynchronous session. The calling thread starts each step and then waits for its completion in
// slices of kCancelPoll, asking between slices whether the player cancelled and whether the server is too slow;
// leaving early closes the request, which ends whatever WinHTTP still has pending on it.
// The pace is the whole fetch's: the hops of a redirect share its stall limit and rate window.
class Exchange {
public:
    Exchange(const TransferLimits& limits, TransferPace& pace, const DownloadCancelled& isCancelled)
        : limits_(limits), pace_(pace), isCancelled_(isCancelled)
    {
    }
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    FetchResult Request(HINTERNET connection, const UrlParts& parts, const std::optional<ResumePoint>& resume)
    {
        secure_ = parts.secure;
        const DWORD flags =
            (limits_.bypassCaches ? WINHTTP_FLAG_REFRESH : 0) | (parts.secure ? WINHTTP_FLAG_SECURE : 0);
        request_.reset(WinHttpOpenRequest(connection, L"GET", parts.objectName.c_str(), nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
        // The fetch follows a redirect itself, for this one request: WinHTTP, following it, would point the shared
        // connection handle of the site at the redirect's host, and every later request of the update with it.
        DWORD redirects = WINHTTP_DISABLE_REDIRECTS;
        if (!request_ || !AttachEvents() ||
            !WinHttpSetOption(request_.get(), WINHTTP_OPTION_DISABLE_FEATURE, &redirects, sizeof(redirects)))
            return Failure(false, GetLastError());
        const std::wstring headers = RequestHeaders(limits_, resume);
        if (!WinHttpSendRequest(request_.get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                                headers.empty() ? 0 : static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0, 0,
                                reinterpret_cast<DWORD_PTR>(events_)))
            return Failure(false, GetLastError());
        if (FetchResult sent = Await(WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE, false, false); !sent.done())
            return sent;
        if (!WinHttpReceiveResponse(request_.get(), nullptr))
            return Failure(false, GetLastError());
        return Await(WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE, false, true);
    }

    // Where the reply sends the request instead; none when it is no redirect, or one without a Location.
    std::optional<std::wstring> RedirectLocation() const
    {
        if (!IsRedirectStatus(QueryStatusCode(request_.get())))
            return std::nullopt;
        std::wstring location = QueryHeaderText(request_.get(), WINHTTP_QUERY_LOCATION, kMaxLocationChars);
        if (location.empty())
            return std::nullopt;
        return location;
    }

    FetchResult ReceiveBody(FetchSink& sink, const std::optional<ResumePoint>& resume,
                            const DownloadProgress& onProgress)
    {
        constexpr DWORD kRangeNotSatisfiable = 416;
        const DWORD status = QueryStatusCode(request_.get());
        const FetchOutcome answer = StatusOutcome(status);
        if (answer != FetchOutcome::kDone) {
            if (answer == FetchOutcome::kBusy)
                sink.AskedToWait(ParseRetryAfter(QueryHeaderText(request_.get(), WINHTTP_QUERY_RETRY_AFTER),
                                                 QueryHeaderText(request_.get(), WINHTTP_QUERY_DATE)));
            return {resume && status == kRangeNotSatisfiable ? FetchOutcome::kUnusableRange : answer,
                    HttpStatusMessage(status)};
        }
        if (auto unasked = UnaskedEncoding(QueryHeaderText(request_.get(), WINHTTP_QUERY_CONTENT_ENCODING)))
            return {FetchOutcome::kUnaskedEncoding, std::move(*unasked)};
        FetchReply reply;
        const std::optional<std::uint64_t> announced = QueryContentLength(request_.get());
        const std::optional<std::uint64_t> offset =
            ReplyOffset(status, resume, ParseContentRange(QueryHeaderText(request_.get(), WINHTTP_QUERY_CONTENT_RANGE)));
        // The range asked for, in a reply that ReplyOffset found to continue the held bytes.
        constexpr DWORD kPartialContent = 206;
        const std::optional<std::uint64_t> rangeEnd =
            resume && status == kPartialContent ? std::optional(resume->end.value_or(resume->total)) : std::nullopt;
        if (!offset || (rangeEnd && announced && *announced != *rangeEnd - *offset))
            return {FetchOutcome::kUnusableRange, kUnusableRangeMessage};
        reply.offset = *offset;
        reply.length = rangeEnd ? rangeEnd : announced;
        reply.byteRanges = AcceptsByteRanges(QueryHeaderText(request_.get(), WINHTTP_QUERY_ACCEPT_RANGES));
        reply.validator = RangeValidator(QueryHeaderText(request_.get(), WINHTTP_QUERY_ETAG),
                                         QueryHeaderText(request_.get(), WINHTTP_QUERY_LAST_MODIFIED));
        if (const auto past = reply.length ? PastBound(limits_, reply.length, *reply.length) : std::nullopt)
            return {FetchOutcome::kByteCap, *past};
        if (const vorn::Status opened = sink.Open(reply); !opened)
            return {FetchOutcome::kStorage, opened.message()};

        const std::uint64_t total = reply.length.value_or(0);
        std::uint64_t received = reply.offset;
        std::vector<char> buffer(kReadChunkBytes);
        for (;;) {
            // Only what has arrived is read, so a read never waits for a server that drips.
            if (FetchResult going = GoOn(); !going.done())
                return going;
            if (!WinHttpQueryDataAvailable(request_.get(), nullptr))
                return Failure(true, GetLastError());
            if (FetchResult available = Await(WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE, true, true); !available.done())
                return available;
            const DWORD wanted = std::min(available_, kReadChunkBytes);
            if (wanted == 0)
                break;
            if (!WinHttpReadData(request_.get(), buffer.data(), wanted, nullptr))
                return Failure(true, GetLastError());
            if (FetchResult read = Await(WINHTTP_CALLBACK_STATUS_READ_COMPLETE, true, true); !read.done())
                return read;
            const DWORD count = available_;
            if (count == 0)
                break;
            if (const auto past = PastBound(limits_, reply.length, received + count))
                return {FetchOutcome::kByteCap, *past};
            if (const vorn::Status written = sink.Write(buffer.data(), count); !written)
                return {FetchOutcome::kStorage, written.message()};
            received += count;
            pace_.Progress(received - reply.offset, TransferClock::now());
            if (onProgress)
                onProgress(received, total);
            // The announced length is in: WinHTTP knows the reply has ended and keeps the connection for the next.
            if (reply.length && received == total)
                break;
        }
        if (reply.length && received != total)
            return {FetchOutcome::kShortBody, L"文件下载不完整，请重试"};
        return {};
    }

private:
    // Whether the player still wants the transfer and the server is quick enough for it.
    FetchResult GoOn()
    {
        if (isCancelled_ && isCancelled_())
            return {FetchOutcome::kCancelled, kCancelledMessage};
        const TransferPace::Verdict verdict = pace_.Check(TransferClock::now());
        if (verdict == TransferPace::Verdict::kGoOn)
            return {};
        return {PaceOutcome(verdict), pace_.Message(verdict)};
    }

    static FetchOutcome PaceOutcome(TransferPace::Verdict verdict)
    {
        switch (verdict) {
        case TransferPace::Verdict::kStalled:
            return FetchOutcome::kStalled;
        case TransferPace::Verdict::kTooSlow:
            return FetchOutcome::kTooSlow;
        case TransferPace::Verdict::kGoOn:
            break;
        }
        return FetchOutcome::kDone;
    }

    // Hands the request its event record; from then on the request handle owns it.
    bool AttachEvents()
    {
        auto events = std::make_unique<RequestEvents>();
        const auto context = reinterpret_cast<DWORD_PTR>(events.get());
        if (!WinHttpSetOption(request_.get(), WINHTTP_OPTION_CONTEXT_VALUE, const_cast<DWORD_PTR*>(&context),
                              sizeof(context)))
            return false;
        if (WinHttpSetStatusCallback(request_.get(), OnRequestEvent, kRequestEvents, 0) ==
            WINHTTP_INVALID_STATUS_CALLBACK) {
            // Without the callback nobody frees the record when the handle closes: close it before the record.
            request_.reset();
            return false;
        }
        events_ = events.release();
        return true;
    }

    // A failed step: its message, and whether the connection was lost (any failure while the body was being read
    // is one) or the request was refused.
    FetchResult Failure(bool reading, DWORD code) const
    {
        return {reading || IsLostConnection(code) ? FetchOutcome::kDropped : FetchOutcome::kRefused,
                reading ? kReadFailure + std::to_wstring(code) : RequestFailureMessage(secure_, code)};
    }

    // Waits until the step just started ends with `expected`. A WinHTTP time-out once the request is out means
    // the server went silent, which the player hears as a server that is too slow.
    FetchResult Await(DWORD expected, bool reading, bool requestSent)
    {
        for (;;) {
            AcquireSRWLockExclusive(&events_->lock);
            if (!events_->done)
                SleepConditionVariableSRW(&events_->ended, &events_->lock, static_cast<DWORD>(kCancelPoll.count()),
                                          0);
            const bool done = std::exchange(events_->done, false);
            const DWORD completion = events_->completion;
            const DWORD code = events_->error;
            available_ = events_->bytes;
            ReleaseSRWLockExclusive(&events_->lock);
            if (done) {
                if (completion == expected)
                    return {};
                if (requestSent && code == ERROR_WINHTTP_TIMEOUT)
                    return {FetchOutcome::kStalled, pace_.Message(TransferPace::Verdict::kStalled)};
                return Failure(reading, code);
            }
            if (FetchResult going = GoOn(); !going.done())
                return going;
        }
    }

    const TransferLimits& limits_;
    TransferPace& pace_;
    const DownloadCancelled& isCancelled_;
    bool secure_ = false;
    RequestEvents* events_ = nullptr;  // owned by request_, see RequestEvents
    DWORD available_ = 0;              // the byte count of the last step that ended
    UniqueInternet request_;
};

// TLS 1.0 and 1.1 are broken and retired (RFC 8996): a site that offers nothing newer is refused. TLS 1.3 is taken
// where the system has it; a system that does not know it refuses the whole set, and then gets TLS 1.2 alone.
// False when the system cannot be held to TLS 1.2 at all.
bool AcceptOnlyCurrentTls(HINTERNET session)
{
    for (DWORD protocols : {DWORD{WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3},
                            DWORD{WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2}}) {
        if (WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols)))
            return true;
    }
    return false;
}

}

// The session and one connection handle per server, kept for the fetcher's life: WinHTTP keeps the sockets of a
// session's connections alive between requests, so a file costs no new connection to a server that keeps it open.
struct WinHttpFetcher::Session {
    std::mutex lock;
    UniqueInternet handle;
    std::map<std::pair<std::wstring, INTERNET_PORT>, UniqueInternet> connections;  // closed before handle
    bool currentTls = false;  // the session speaks TLS 1.2 or later only

    // The connection handle for the server of parts, opened with the session at its first use.
    vorn::Result<HINTERNET> Connect(const UrlParts& parts)
    {
        const std::lock_guard<std::mutex> held(lock);
        if (!handle) {
            handle.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                     WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
            if (!handle)
                return vorn::Failure{L"初始化 HTTP 会话失败"};
            WinHttpSetTimeouts(handle.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);
            currentTls = AcceptOnlyCurrentTls(handle.get());
        }
        // A plain HTTP site still serves a player whose system cannot be held to TLS 1.2.
        if (parts.secure && !currentTls)
            return vorn::Failure{
                L"无法与更新服务器建立安全连接：本机系统不支持 TLS 1.2（Windows 7 须先安装系统更新 KB3140245）"};
        UniqueInternet& connection = connections[{parts.host, parts.port}];
        if (!connection)
            connection.reset(WinHttpConnect(handle.get(), parts.host.c_str(), parts.port, 0));
        if (!connection)
            return vorn::Failure{L"连接下载服务器失败"};
        return connection.get();
    }
};

WinHttpFetcher::WinHttpFetcher() : session_(std::make_unique<Session>()) {}

WinHttpFetcher::~WinHttpFetcher() = default;

FetchResult WinHttpFetcher::Fetch(const std::wstring& url, FetchSink& sink, const TransferLimits& limits,
                                  const DownloadProgress& onProgress, const DownloadCancelled& isCancelled)
{
    if (isCancelled && isCancelled())
        return {FetchOutcome::kCancelled, kCancelledMessage};
    const std::optional<ResumePoint> resume = sink.Resume();
    TransferPace pace(limits, TransferClock::now());
    std::wstring address = NormalizeDownloadUrl(url);
    for (std::size_t redirects = 0;; ++redirects) {
        UrlParts parts;
        if (!CrackDownloadUrl(address, parts))
            return {FetchOutcome::kRefused, redirects == 0 ? kBadAddressMessage : kBadRedirectMessage};
        const vorn::Result<HINTERNET> connection = session_->Connect(parts);
        if (!connection)
            return {FetchOutcome::kRefused, connection.message()};
        Exchange exchange(limits, pace, isCancelled);
        if (FetchResult requested = exchange.Request(*connection, parts, resume); !requested.done())
            return requested;
        const std::optional<std::wstring> location = exchange.RedirectLocation();
        if (!location)
            return exchange.ReceiveBody(sink, resume, onProgress);
        vorn::Result<std::wstring> next = NextAfterRedirect(address, *location, redirects);
        if (!next)
            return {FetchOutcome::kRefused, next.message()};
        address = std::move(*next);
    }
}

vorn::Status DownloadToFile(const std::wstring& url, const std::wstring& targetPath, DownloadProgress onProgress,
                            DownloadCancelled isCancelled)
{
    WinHttpFetcher fetcher;
    DiskRoom room(FreeSpaceOf(std::filesystem::path(targetPath).parent_path().wstring()));
    return DownloadToFile(fetcher, url, targetPath, TransferLimits{}, room, onProgress, isCancelled);
}
