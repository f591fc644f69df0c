#include "update/http_download.h"

#include "base/paths.h"
#include "base/unique_resource.h"

#include <windows.h>
#include <winhttp.h>

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

constexpr wchar_t kCancelledMessage[] = L"更新操作已取消。";
constexpr wchar_t kBadAddressMessage[] = L"下载地址无效";

// Member order is the release order in reverse: the request goes first, the session last.
struct HttpExchange {
    UniqueInternet session;
    UniqueInternet connection;
    UniqueInternet request;
};

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

// Session, connection and a sent request with its response headers received.
bool StartExchange(const UrlParts& parts, HttpExchange& exchange, std::wstring& error)
{
    exchange.session.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
    if (!exchange.session) {
        error = L"初始化 HTTP 会话失败";
        return false;
    }
    WinHttpSetTimeouts(exchange.session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                       kReceiveTimeoutMs);

    exchange.connection.reset(WinHttpConnect(exchange.session.get(), parts.host.c_str(), parts.port, 0));
    if (!exchange.connection) {
        error = L"连接下载服务器失败";
        return false;
    }

    const DWORD flags = WINHTTP_FLAG_REFRESH | (parts.secure ? WINHTTP_FLAG_SECURE : 0);
    exchange.request.reset(WinHttpOpenRequest(exchange.connection.get(), L"GET", parts.objectName.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    const bool ok = exchange.request &&
                    WinHttpSendRequest(exchange.request.get(), kNoCacheHeaders, static_cast<DWORD>(-1),
                                       WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
                    WinHttpReceiveResponse(exchange.request.get(), nullptr);
    if (!ok) {
        error = L"HTTP 请求失败，错误码：" + std::to_wstring(GetLastError());
        return false;
    }
    return true;
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

std::optional<std::uint64_t> QueryContentLength(HINTERNET request)
{
    wchar_t text[64] = {};
    DWORD size = sizeof(text);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return std::nullopt;
    return ParseContentLength(std::wstring(text, size / sizeof(wchar_t)));
}

// Streams the body into the open file. On false, error is set and the caller removes the file.
bool ReceiveBody(HINTERNET request, HANDLE file, std::uint64_t total, const DownloadProgress& onProgress,
                 const DownloadCancelled& isCancelled, std::uint64_t& received, std::wstring& error)
{
    std::vector<char> buffer(kReadChunkBytes);
    for (;;) {
        if (isCancelled && isCancelled()) {
            error = kCancelledMessage;
            return false;
        }
        DWORD count = 0;
        if (!WinHttpReadData(request, buffer.data(), kReadChunkBytes, &count)) {
            error = L"HTTP 数据读取失败，错误码：" + std::to_wstring(GetLastError());
            return false;
        }
        if (count == 0)
            return true;
        DWORD written = 0;
        if (!WriteFile(file, buffer.data(), count, &written, nullptr) || written != count) {
            error = L"文件写入失败";
            return false;
        }
        received += count;
        if (onProgress)
            onProgress(received, total);
    }
}

}

std::optional<std::uint64_t> ParseContentLength(const std::wstring& text)
{
    try {
        return std::stoull(text, nullptr, 10);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool DownloadToFile(const std::wstring& url, const std::wstring& targetPath, DownloadProgress onProgress,
                    std::wstring& error, DownloadCancelled isCancelled)
{
    error.clear();
    if (isCancelled && isCancelled()) {
        error = kCancelledMessage;
        return false;
    }

    UrlParts parts;
    if (!CrackDownloadUrl(NormalizeDownloadUrl(url), parts)) {
        error = kBadAddressMessage;
        return false;
    }
    HttpExchange exchange;
    if (!StartExchange(parts, exchange, error))
        return false;
    const DWORD status = QueryStatusCode(exchange.request.get());
    if (status < 200 || status > 299) {
        error = L"HTTP 状态码：" + std::to_wstring(status);
        return false;
    }
    const std::optional<std::uint64_t> length = QueryContentLength(exchange.request.get());
    const std::uint64_t total = length.value_or(0);

    if (!EnsureParentFolder(targetPath)) {
        error = L"无法创建目标目录";
        return false;
    }
    UniqueFile file(CreateFileW(targetPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        error = L"无法打开目标文件";
        return false;
    }
    // From here on a failure closes the file first and then deletes it: no partial body stays behind.
    ScopeExit removePartial([&] {
        file.reset();
        DeleteFileW(targetPath.c_str());
    });

    std::uint64_t received = 0;
    if (!ReceiveBody(exchange.request.get(), file.get(), total, onProgress, isCancelled, received, error))
        return false;
    if (!CloseHandle(file.release())) {
        error = L"文件写入或关闭失败";
        return false;
    }
    if (length && received != total) {
        error = L"文件下载不完整，请重试";
        return false;
    }
    removePartial.Dismiss();
    if (onProgress)
        onProgress(received, total == 0 ? received : total);
    return true;
}
