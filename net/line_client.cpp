#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/line_client.h"

#include "net/line_protocol.h"
#include "net/socket_handle.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <vector>

namespace {

void SetTimeout(SOCKET socket, int option, DWORD milliseconds)
{
    // A failed option only costs the bound on waiting; the exchange itself still works.
    setsockopt(socket, SOL_SOCKET, option, reinterpret_cast<const char*>(&milliseconds), sizeof milliseconds);
}

class Deadline {
public:
    explicit Deadline(unsigned long limitMs) : end_(GetTickCount64() + std::min(limitMs, kExchangeDeadlineMs)) {}

    DWORD RemainingMs() const
    {
        const ULONGLONG now = GetTickCount64();
        return now >= end_ ? 0 : static_cast<DWORD>(end_ - now);
    }

private:
    ULONGLONG end_;
};

timeval ToTimeval(DWORD milliseconds)
{
    timeval wait{};
    wait.tv_sec = static_cast<long>(milliseconds / 1000);
    wait.tv_usec = static_cast<long>((milliseconds % 1000) * 1000);
    return wait;
}

// Starts a connect to `address` without waiting for it; the socket, or nothing when the attempt failed at once.
UniqueSocket StartConnect(const ADDRINFOW& address)
{
    UniqueSocket connection(socket(address.ai_family, address.ai_socktype, address.ai_protocol));
    if (!connection)
        return {};
    SetTimeout(connection.get(), SO_RCVTIMEO, kSocketTimeoutMs);
    SetTimeout(connection.get(), SO_SNDTIMEO, kSocketTimeoutMs);
    u_long nonBlocking = 1;
    if (ioctlsocket(connection.get(), FIONBIO, &nonBlocking) != 0)
        return {};
    if (connect(connection.get(), address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK)
        return {};
    return connection;
}

// A connect the system reported as finished: did it succeed? The winner is made blocking again for the exchange.
bool ConnectSucceeded(SOCKET connection)
{
    int error = 0;
    int length = sizeof error;
    if (getsockopt(connection, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 || error != 0)
        return false;
    u_long nonBlocking = 0;
    return ioctlsocket(connection, FIONBIO, &nonBlocking) == 0;
}

// The addresses are tried in the resolver's order, staggered: each attempt gets a head start of
// kConnectAttemptDelayMs, then the next address is tried beside it, and one that fails brings the next at once.
// The first to connect wins and the others are dropped. A first address that drops every packet (a broken IPv6
// route sorted first) so costs the player a quarter of a second instead of the whole deadline, while a slow but
// working one keeps its chance until the deadline. The system's own connect time-out (minutes) never applies.
UniqueSocket ConnectFirstAccepting(const ADDRINFOW* addresses, const Deadline& deadline)
{
    std::vector<UniqueSocket> pending;
    const ADDRINFOW* next = addresses;
    ULONGLONG nextStart = 0;
    while (deadline.RemainingMs() > 0) {
        const ULONGLONG now = GetTickCount64();
        const bool mayStart = next != nullptr && pending.size() < kMaxConnectAttempts;
        if (mayStart && (pending.empty() || now >= nextStart)) {
            if (UniqueSocket attempt = StartConnect(*next))
                pending.push_back(std::move(attempt));
            next = next->ai_next;
            nextStart = now + kConnectAttemptDelayMs;
            continue;
        }
        if (pending.empty())
            return {};

        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        for (const UniqueSocket& attempt : pending) {
            FD_SET(attempt.get(), &writable);
            FD_SET(attempt.get(), &failed);
        }
        DWORD wait = deadline.RemainingMs();
        if (mayStart)
            wait = std::min<DWORD>(wait, static_cast<DWORD>(nextStart > now ? nextStart - now : 0));
        timeval timeout = ToTimeval(wait);
        if (select(0, nullptr, &writable, &failed, &timeout) < 0)
            return {};
        for (auto attempt = pending.begin(); attempt != pending.end();) {
            const SOCKET connection = attempt->get();
            const bool finished = FD_ISSET(connection, &writable) || FD_ISSET(connection, &failed);
            if (!finished) {
                ++attempt;
                continue;
            }
            if (FD_ISSET(connection, &writable) && ConnectSucceeded(connection))
                return std::move(*attempt);
            attempt = pending.erase(attempt);
            nextStart = 0;
        }
    }
    return {};
}

bool SendAll(SOCKET connection, std::string_view bytes, const Deadline& deadline)
{
    while (!bytes.empty()) {
        if (deadline.RemainingMs() == 0)
            return false;
        const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
        const int sent = send(connection, bytes.data(), chunk, 0);
        if (sent <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

// Waits until the peer has sent something (or closed) for at most `milliseconds`; false on silence or error.
// The wait is our own rather than the socket's receive time-out alone, so that no silent gap and no reply can
// outlast the exchange whatever the socket layer does with a changed time-out.
bool WaitReadable(SOCKET connection, DWORD milliseconds)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(connection, &readable);
    timeval wait = ToTimeval(milliseconds);
    return select(0, &readable, nullptr, nullptr, &wait) == 1;
}

// Reads what has arrived, up to a small buffer at a time; the reader decides where the reply ends. Bytes after
// that end are of no use, because a connection carries exactly one reply.
void ReceiveReply(SOCKET connection, const Deadline& deadline, std::vector<std::string>& lines)
{
    LineReplyReader reader(lines);
    char buffer[4096];
    for (;;) {
        const DWORD remaining = deadline.RemainingMs();
        if (remaining == 0)
            return;
        // Near the deadline the silent-gap time-out shrinks so that no wait outlasts the exchange.
        if (!WaitReadable(connection, std::min<DWORD>(remaining, kSocketTimeoutMs)))
            return;
        const int received = recv(connection, buffer, sizeof buffer, 0);
        if (received <= 0)
            return;
        for (int i = 0; i < received; ++i) {
            if (!reader.Feed(buffer[i]))
                return;
        }
    }
}

}

bool SendLineRequest(const std::wstring& host, std::uint16_t port, std::string_view request,
                     std::vector<std::string>& lines, unsigned long limitMs)
{
    lines.clear();
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    UniqueAddrInfo addresses;
    if (GetAddrInfoW(host.c_str(), std::to_wstring(port).c_str(), &hints, addresses.put()) != 0)
        return false;
    return SendLineRequestTo(addresses.get(), request, lines, limitMs);
}

bool SendLineRequestTo(const addrinfoW* addresses, std::string_view request, std::vector<std::string>& lines,
                       unsigned long limitMs)
{
    lines.clear();
    const Deadline deadline(limitMs);
    if (deadline.RemainingMs() == 0)
        return false;
    const UniqueSocket connection = ConnectFirstAccepting(addresses, deadline);
    if (!connection)
        return false;
    if (!SendAll(connection.get(), request, deadline) || !SendAll(connection.get(), "\n", deadline))
        return false;
    ReceiveReply(connection.get(), deadline, lines);
    return !lines.empty();
}
