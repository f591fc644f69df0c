#include "tests/support/loopback_peer.h"

#include <stdexcept>

namespace probe {

std::string PeerConnection::ReadLine()
{
    std::string line;
    char byte = 0;
    while (recv(socket_, &byte, 1, 0) == 1) {
        if (byte == '\n')
            return line;
        line.push_back(byte);
    }
    return line;
}

bool PeerConnection::Send(std::string_view bytes)
{
    while (!bytes.empty()) {
        const int sent = send(socket_, bytes.data(), static_cast<int>(bytes.size()), 0);
        if (sent <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool PeerConnection::WaitClientClose(DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    char buffer[256];
    while (GetTickCount64() < end) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket_, &readable);
        timeval slice{0, 100 * 1000};
        if (WaitForSingleObject(stopEvent_, 0) == WAIT_OBJECT_0)
            return false;
        const int ready = select(0, &readable, nullptr, nullptr, &slice);
        if (ready < 0)
            return true;
        if (ready > 0 && recv(socket_, buffer, sizeof buffer, 0) <= 0)
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
    if (!listener || bind(listener.get(), reinterpret_cast<sockaddr*>(&bound), length) != 0 ||
        listen(listener.get(), 8) != 0 ||
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
    const SOCKET current = current_.load();
    if (current != INVALID_SOCKET)
        shutdown(current, SD_BOTH);
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
        UniqueSocket connection(accept(listener_.get(), nullptr, nullptr));
        if (!connection)
            continue;
        ++connections_;
        current_ = connection.get();
        if (WaitForSingleObject(stopEvent_.get(), 0) == WAIT_TIMEOUT) {
            PeerConnection peer(connection.get(), stopEvent_.get());
            script_(peer);
        }
        current_ = INVALID_SOCKET;
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

}
