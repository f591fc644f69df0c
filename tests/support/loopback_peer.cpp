#include "tests/support/loopback_peer.h"

#include <algorithm>
#include <stdexcept>

namespace probe {

namespace {

// How long one wait on a socket lasts before the peer looks at its stop event again.
constexpr ULONGLONG kSliceMs = 50;
// The longest a script waits for one request line or for room to send: far beyond any client's exchange, so
// only a client that has gone away meets it, and the test then ends instead of waiting for ever.
constexpr ULONGLONG kLongestWaitMs = 30000;

// The peer's sockets never block: a blocked call would outlive the test, because another thread cannot wake
// it (shutting the socket down does not end a blocked receive under Wine).
bool MakeNonBlocking(SOCKET socket)
{
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
}

bool WouldBlock()
{
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

}

bool PeerConnection::WaitReady(bool forSending, ULONGLONG end) const
{
    while (WaitForSingleObject(stopEvent_, 0) == WAIT_TIMEOUT) {
        const ULONGLONG now = GetTickCount64();
        if (now >= end)
            return false;
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(socket_, &ready);
        timeval slice{0, static_cast<long>(std::min(end - now, kSliceMs) * 1000)};
        // A failed select counts as ready: the next call on the socket reports the fault.
        if (select(0, forSending ? nullptr : &ready, forSending ? &ready : nullptr, nullptr, &slice) != 0)
            return true;
    }
    return false;
}

std::string PeerConnection::ReadLine()
{
    const ULONGLONG end = GetTickCount64() + kLongestWaitMs;
    std::string line;
    char byte = 0;
    for (;;) {
        const int received = recv(socket_, &byte, 1, 0);
        if (received == 1) {
            if (byte == '\n')
                return line;
            line.push_back(byte);
        } else if (received == 0 || !WouldBlock() || !WaitReady(false, end)) {
            return line;
        }
    }
}

bool PeerConnection::Send(std::string_view bytes)
{
    const ULONGLONG end = GetTickCount64() + kLongestWaitMs;
    while (!bytes.empty()) {
        const int sent = send(socket_, bytes.data(), static_cast<int>(bytes.size()), 0);
        if (sent > 0)
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        else if (sent == 0 || !WouldBlock() || !WaitReady(true, end))
            return false;
    }
    return true;
}

bool PeerConnection::WaitClientClose(DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    char buffer[256];
    while (WaitReady(false, end)) {
        const int received = recv(socket_, buffer, sizeof buffer, 0);
        if (received == 0 || (received < 0 && !WouldBlock()))
            return true;
    }
    return false;
}

bool PeerConnection::Pause(DWORD milliseconds)
{
    return WaitForSingleObject(stopEvent_, milliseconds) == WAIT_TIMEOUT;
}

LoopbackPeer::LoopbackPeer(Script script, int family, const std::string& address, std::uint16_t port)
    : script_(std::move(script)), stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    sockaddr_storage bound{};
    int length = 0;
    if (family == AF_INET6) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(bound);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        inet_pton(AF_INET6, address.empty() ? "::1" : address.c_str(), &v6.sin6_addr);
        length = sizeof v6;
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(bound);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        inet_pton(AF_INET, address.empty() ? "127.0.0.1" : address.c_str(), &v4.sin_addr);
        length = sizeof v4;
    }
    UniqueSocket listener(socket(family, SOCK_STREAM, IPPROTO_TCP));
    if (!listener || !MakeNonBlocking(listener.get()) ||
        bind(listener.get(), reinterpret_cast<sockaddr*>(&bound), length) != 0 || listen(listener.get(), 8) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0)
        return;
    port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                     : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    listener_ = std::move(listener);
    thread_ = std::thread([this] { Serve(); });
}

LoopbackPeer::~LoopbackPeer()
{
    SetEvent(stopEvent_.get());
    if (thread_.joinable())
        thread_.join();
}

void LoopbackPeer::Serve()
{
    while (WaitForSingleObject(stopEvent_.get(), 0) == WAIT_TIMEOUT) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener_.get(), &readable);
        timeval slice{0, 50 * 1000};
        if (select(0, &readable, nullptr, nullptr, &slice) <= 0)
            continue;
        // Readiness may be stale (a connection given up before we took it); the listener does not block.
        UniqueSocket connection(accept(listener_.get(), nullptr, nullptr));
        if (!connection)
            continue;
        ++connections_;
        if (MakeNonBlocking(connection.get()) && WaitForSingleObject(stopEvent_.get(), 0) == WAIT_TIMEOUT) {
            PeerConnection peer(connection.get(), stopEvent_.get());
            script_(peer);
        }
    }
}

void RequestLog::Add(std::string line)
{
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
}

std::vector<std::string> RequestLog::Lines() const
{
    std::lock_guard lock(mutex_);
    return lines_;
}

LoopbackPeer::Script AnswerAndHold(std::string reply, RequestLog* requests)
{
    return [reply = std::move(reply), requests](PeerConnection& connection) {
        std::string request = connection.ReadLine();
        if (requests != nullptr)
            requests->Add(std::move(request));
        connection.Send(reply);
        connection.WaitClientClose(20000);
    };
}

std::uint16_t UnusedPort()
{
    WinsockSession winsock;
    UniqueSocket probeSocket(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    int length = sizeof address;
    if (!probeSocket || bind(probeSocket.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(probeSocket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no free port");
    return ntohs(address.sin_port);
}

NeverAcceptingListener::NeverAcceptingListener(std::uint16_t port)
    : listener_(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP))
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    int length = sizeof address;
    if (!listener_ || bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_.get(), 0) != 0 ||
        getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return;
    port_ = ntohs(address.sin_port);
    // Queue connections until one stays unanswered; a handful is plenty for a backlog of 0.
    for (int i = 0; i < 8 && !full_; ++i) {
        UniqueSocket filler(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        u_long nonBlocking = 1;
        ioctlsocket(filler.get(), FIONBIO, &nonBlocking);
        connect(filler.get(), reinterpret_cast<sockaddr*>(&address), length);
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(filler.get(), &writable);
        timeval wait{0, 500000};
        full_ = select(0, nullptr, &writable, nullptr, &wait) == 0;
        sockaddr_in own{};
        int ownLength = sizeof own;
        if (getsockname(filler.get(), reinterpret_cast<sockaddr*>(&own), &ownLength) == 0)
            fillerPorts_.push_back(own.sin_port);
        fillers_.push_back(std::move(filler));
    }
}

UniqueSocket NeverAcceptingListener::OpenAndAccept(DWORD timeoutMs)
{
    fillers_.clear();
    if (!MakeNonBlocking(listener_.get()))
        return {};
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener_.get(), &readable);
        timeval slice{0, static_cast<long>(std::min(end - now, kSliceMs) * 1000)};
        if (select(0, &readable, nullptr, nullptr, &slice) <= 0)
            continue;
        sockaddr_in from{};
        int fromLength = sizeof from;
        UniqueSocket connection(accept(listener_.get(), reinterpret_cast<sockaddr*>(&from), &fromLength));
        // The fillers' own connections still wait in the queue; they go, the first other one is the client's.
        if (connection && std::find(fillerPorts_.begin(), fillerPorts_.end(), from.sin_port) == fillerPorts_.end() &&
            MakeNonBlocking(connection.get()))
            return connection;
    }
    return {};
}

}
