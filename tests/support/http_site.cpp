#include <winsock2.h>
#include <ws2tcpip.h>

#include "tests/support/http_site.h"

#include "base/text.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace probe {

void SocketTraits::Close(Type socket) noexcept
{
    closesocket(static_cast<SOCKET>(socket));
}

namespace {

constexpr std::size_t kMaxHeaderBytes = 65536;

bool SendAll(SOCKET connection, const char* data, std::size_t size)
{
    while (size > 0) {
        const int sent = send(connection, data, static_cast<int>(std::min<std::size_t>(size, 1 << 20)), 0);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool SendText(SOCKET connection, const std::string& text)
{
    return SendAll(connection, text.data(), text.size());
}

std::string StatusLine(int status)
{
    const char* reason = status == 200 ? "OK" : status == 206 ? "Partial Content" : status == 404 ? "Not Found" : "Status";
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text)
{
    const std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// The request line and headers, up to the empty line; false when the peer went away or sent garbage.
bool ReadRequest(SOCKET connection, HttpRequestRecord& record)
{
    std::string head;
    char byte = 0;
    while (head.size() < kMaxHeaderBytes && head.find("\r\n\r\n") == std::string::npos) {
        if (recv(connection, &byte, 1, 0) != 1)
            return false;
        head.push_back(byte);
    }
    std::size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const std::size_t firstSpace = requestLine.find(' ');
    const std::size_t secondSpace = requestLine.find(' ', firstSpace + 1);
    if (firstSpace == std::string::npos || secondSpace == std::string::npos)
        return false;
    record.method = requestLine.substr(0, firstSpace);
    record.target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    for (std::size_t start = lineEnd + 2; start < head.size(); start = lineEnd + 2) {
        lineEnd = head.find("\r\n", start);
        const std::string line = head.substr(start, lineEnd - start);
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos)
            record.headers.emplace(Lower(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    }
    return true;
}

// "/Data/a%20b.bmd" -> "Data\a b.bmd" as UTF-16; empty for a target that leaves the folder.
std::wstring TargetToRelativePath(const std::string& target)
{
    std::string decoded;
    const std::string path = target.substr(0, target.find('?'));
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '%' && i + 2 < path.size()) {
            decoded.push_back(static_cast<char>(std::stoi(path.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            decoded.push_back(path[i] == '/' ? '\\' : path[i]);
        }
    }
    const std::size_t start = decoded.find_first_not_of('\\');
    if (start == std::string::npos)
        return {};
    const std::wstring relative = Utf8ToWide(decoded.substr(start));
    if (relative.find(L"..") != std::wstring::npos || relative.find(L':') != std::wstring::npos)
        return {};
    return relative;
}

// The first and last byte a "bytes=A-" or "bytes=A-B" range asks of a body of `size` bytes; none for anything
// else, and first == size for a range that starts at or past the end.
std::optional<std::pair<std::uint64_t, std::uint64_t>> RequestedRange(const std::string& text, std::uint64_t size)
{
    const std::string prefix = "bytes=";
    const std::size_t dash = text.find('-');
    if (text.rfind(prefix, 0) != 0 || dash == std::string::npos || dash == prefix.size() ||
        text.find_first_not_of("0123456789-", prefix.size()) != std::string::npos)
        return std::nullopt;
    const std::uint64_t first = std::stoull(text.substr(prefix.size(), dash - prefix.size()));
    std::uint64_t last = size == 0 ? 0 : size - 1;
    if (dash + 1 < text.size())
        last = std::min(last, std::stoull(text.substr(dash + 1)));
    if (first >= size)
        return std::make_pair(size, size);
    if (first > last)
        return std::nullopt;
    return std::make_pair(first, last);
}

}

HttpSite::HttpSite(std::wstring root) : root_(std::move(root))
{
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        throw std::runtime_error("WSAStartup failed");
    listener_.reset(static_cast<std::uintptr_t>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(address);
    const auto listener = static_cast<SOCKET>(listener_.get());
    if (!listener_ || bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener, SOMAXCONN) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        const int error = WSAGetLastError();
        listener_.reset();
        WSACleanup();
        throw std::runtime_error("test HTTP site cannot listen: Winsock error " + std::to_string(error));
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

HttpSite::~HttpSite()
{
    stopping_ = true;
    thread_.join();
    listener_.reset();
    WSACleanup();
}

std::wstring HttpSite::BaseUrl() const
{
    return L"http://127.0.0.1:" + std::to_wstring(port_) + L"/";
}

void HttpSite::Script(const std::string& target, HttpScript script)
{
    std::lock_guard lock(mutex_);
    scripts_[target] = std::move(script);
}

std::vector<HttpRequestRecord> HttpSite::Requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t HttpSite::CountRequests(const std::string& target) const
{
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(requests_.begin(), requests_.end(),
                                                  [&](const HttpRequestRecord& r) { return r.target == target; }));
}

void HttpSite::ServeFiles(HttpFileServing serving)
{
    std::lock_guard lock(mutex_);
    serving_ = serving;
}

void HttpSite::CutFirstAnswer(const std::string& target, std::uint64_t bytes, const std::string& range)
{
    std::lock_guard lock(mutex_);
    cuts_[target] = {range, bytes};
}

std::uint64_t HttpSite::BodyBytesSent(const std::string& target) const
{
    std::lock_guard lock(mutex_);
    const auto found = sent_.find(target);
    return found == sent_.end() ? 0 : found->second;
}

bool HttpSite::FindScript(const std::string& target, HttpScript& script) const
{
    std::lock_guard lock(mutex_);
    const auto found = scripts_.find(target);
    if (found == scripts_.end())
        return false;
    const auto asked = std::count_if(requests_.begin(), requests_.end(),
                                     [&](const HttpRequestRecord& r) { return r.target == target; });
    if (found->second.answers > 0 && asked > static_cast<std::ptrdiff_t>(found->second.answers))
        return false;
    script = found->second;
    return true;
}

// One connection at a time: the downloader makes one request at a time, and every answer closes its connection.
void HttpSite::Serve()
{
    const auto listener = static_cast<SOCKET>(listener_.get());
    while (!stopping_) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener, &readable);
        timeval wait{0, 50000};
        if (select(0, &readable, nullptr, nullptr, &wait) != 1)
            continue;
        UniqueSocket connection(static_cast<std::uintptr_t>(accept(listener, nullptr, nullptr)));
        if (!connection)
            continue;
        const DWORD receiveTimeoutMs = 5000;
        setsockopt(static_cast<SOCKET>(connection.get()), SOL_SOCKET, SO_RCVTIMEO,
                   reinterpret_cast<const char*>(&receiveTimeoutMs), sizeof(receiveTimeoutMs));
        Answer(connection.get());
        shutdown(static_cast<SOCKET>(connection.get()), SD_SEND);
    }
}

void HttpSite::Answer(std::uintptr_t connectionValue)
{
    const auto connection = static_cast<SOCKET>(connectionValue);
    HttpRequestRecord record;
    if (!ReadRequest(connection, record))
        return;
    record.at = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(record);
    }
    HttpScript script;
    if (!FindScript(record.target, script)) {
        SendFile(connectionValue, record);
        return;
    }
    std::string head = StatusLine(script.status) + "Connection: close\r\n";
    for (const std::string& line : script.headers)
        head += line + "\r\n";
    if (script.announcedLength >= 0)
        head += "Content-Length: " + std::to_string(script.announcedLength) + "\r\n";
    else if (script.sendLength)
        head += "Content-Length: " + std::to_string(script.body.size()) + "\r\n";
    if (!SendText(connection, head + "\r\n"))
        return;
    std::uint64_t sent = 0;
    do {
        for (std::size_t offset = 0; offset < script.body.size() && !stopping_; offset += script.chunkBytes) {
            const std::size_t size = std::min(script.chunkBytes, script.body.size() - offset);
            if (!SendAll(connection, script.body.data() + offset, size))
                return;
            sent += size;
            {
                std::lock_guard lock(mutex_);
                sent_[record.target] += size;
            }
            if (!Pause(script.pauseBetweenChunksMs))
                return;
        }
    } while (script.endless && !script.body.empty() && !stopping_ &&
             (script.endlessLimit == 0 || sent < script.endlessLimit));
}

// Waits between two pieces in short steps, so a site that drips stops with its object; false when it stops.
bool HttpSite::Pause(DWORD milliseconds) const
{
    constexpr DWORD kStepMs = 50;
    for (DWORD waited = 0; waited < milliseconds && !stopping_; waited += kStepMs)
        Sleep(std::min(kStepMs, milliseconds - waited));
    return !stopping_;
}

void HttpSite::SendFile(std::uintptr_t connectionValue, const HttpRequestRecord& request)
{
    const auto connection = static_cast<SOCKET>(connectionValue);
    const std::wstring relative = TargetToRelativePath(request.target);
    UniqueFile file;
    if (!root_.empty() && !relative.empty())
        file.reset(CreateFileW((root_ + L"\\" + relative).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    FILETIME written{};
    if (!file || !GetFileSizeEx(file.get(), &size) || !GetFileTime(file.get(), nullptr, nullptr, &written)) {
        SendText(connection, StatusLine(404) + "Connection: close\r\nContent-Length: 9\r\n\r\nnot found");
        return;
    }
    const auto total = static_cast<std::uint64_t>(size.QuadPart);
    HttpFileServing serving;
    std::optional<std::uint64_t> cut;
    std::string etag(1, '"');
    etag.append(std::to_string(total)).append(1, '-').append(std::to_string(written.dwLowDateTime));
    {
        std::lock_guard lock(mutex_);
        serving = serving_;
        if (serving.changingValidator)
            etag.append(1, '-').append(std::to_string(++fileAnswers_));
        const auto asked = request.headers.find("range");
        if (const auto found = cuts_.find(request.target);
            found != cuts_.end() && (found->second.first.empty() ||
                                     (asked != request.headers.end() && asked->second == found->second.first))) {
            cut = found->second.second;
            cuts_.erase(found);
        }
    }
    etag.push_back('"');
    std::string head = "Connection: close\r\nETag: " + etag + "\r\n";
    int status = 200;
    std::uint64_t first = 0;
    std::uint64_t last = total == 0 ? 0 : total - 1;
    const auto range = request.headers.find("range");
    const auto ifRange = request.headers.find("if-range");
    if (serving.ranges) {
        head += "Accept-Ranges: bytes\r\n";
        const auto wanted = range == request.headers.end() ? std::nullopt : RequestedRange(range->second, total);
        if (wanted && (ifRange == request.headers.end() || ifRange->second == etag)) {
            if (wanted->first == total) {
                SendText(connection, StatusLine(416) + head + "Content-Range: bytes */" + std::to_string(total) +
                                         "\r\nContent-Length: 0\r\n\r\n");
                return;
            }
            status = 206;
            first = wanted->first;
            last = wanted->second;
            head += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                    std::to_string(total) + "\r\n";
        }
    }
    const std::uint64_t length = total == 0 ? 0 : last - first + 1;
    if (!SendText(connection, StatusLine(status) + head + "Content-Length: " + std::to_string(length) + "\r\n\r\n"))
        return;
    LARGE_INTEGER start{};
    start.QuadPart = static_cast<LONGLONG>(first);
    std::uint64_t left = std::min(length, cut.value_or(length));
    std::vector<char> buffer(65536);
    DWORD count = 0;
    if (!SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN))
        return;
    while (left > 0 && ReadFile(file.get(), buffer.data(), static_cast<DWORD>(std::min<std::uint64_t>(buffer.size(), left)),
                                &count, nullptr) && count > 0) {
        if (!SendAll(connection, buffer.data(), count))
            return;
        left -= count;
        std::lock_guard lock(mutex_);
        sent_[request.target] += count;
    }
}

}
