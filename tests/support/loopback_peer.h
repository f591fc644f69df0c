#pragma once

// A scripted TCP peer on a loopback address for tests of the launcher's network side: it accepts connections
// one after another on its own thread and lets a script talk to each.

#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/socket_handle.h"
#include "net/winsock_session.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace probe {

class PeerConnection {
public:
    PeerConnection(SOCKET socket, HANDLE stopEvent) : socket_(socket), stopEvent_(stopEvent) {}

    // Every wait below ends when the peer is being torn down, and none lasts without bound.
    // The bytes up to the next line feed (without it); empty when the client closed first.
    std::string ReadLine();
    // False when the client is gone or takes no bytes for a long time.
    bool Send(std::string_view bytes);
    // Waits for the client to close the connection, at most timeoutMs; true when it did.
    bool WaitClientClose(DWORD timeoutMs);
    // Sleeps, cut short when the peer is being torn down; false then.
    bool Pause(DWORD milliseconds);

private:
    // Waits until the socket can be read (or sent on), until `end` at most; false at `end` or on tear-down.
    bool WaitReady(bool forSending, ULONGLONG end) const;

    SOCKET socket_;
    HANDLE stopEvent_;
};

class LoopbackPeer {
public:
    using Script = std::function<void(PeerConnection&)>;

    // Listens on 127.0.0.1 (or ::1 for AF_INET6), port `port` or, with 0, a free one.
    explicit LoopbackPeer(Script script, int family = AF_INET, const std::string& address = "",
                          std::uint16_t port = 0);
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;
    // Stops accepting, ends the script's current wait and joins the thread.
    ~LoopbackPeer();

    std::uint16_t port() const { return port_; }
    bool listening() const { return static_cast<bool>(listener_); }
    int connections() const { return connections_.load(); }

private:
    void Serve();

    WinsockSession winsock_;
    Script script_;
    UniqueSocket listener_;
    std::uint16_t port_ = 0;
    UniqueHandle stopEvent_;
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// The request lines a peer received, shared between its thread and the test.
class RequestLog {
public:
    void Add(std::string line);
    std::vector<std::string> Lines() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Script helper: reads the request line, then answers `reply` and keeps the connection open until the client
// closes it (so only the reply's own end can end the client's reading).
LoopbackPeer::Script AnswerAndHold(std::string reply, RequestLog* requests = nullptr);

// A TCP port on 127.0.0.1 where nothing listens: taken from the system and released again at once.
std::uint16_t UnusedPort();

// A listener on 127.0.0.1 (port `port`, or with 0 a free one) that never accepts, its queue filled by connections
// of its own: the system drops every later connection attempt without an answer, so a client's connect waits
// until it gives up by itself, as on a route that silently drops packets.
class NeverAcceptingListener {
public:
    explicit NeverAcceptingListener(std::uint16_t port = 0);

    std::uint16_t port() const { return port_; }
    bool full() const { return full_; }

    // A slow server after all: the queue is emptied, so the next connection attempt that reaches the listener
    // is answered (a dropped attempt is sent again about a second after it began). Waits up to timeoutMs for
    // it and returns the connection, non-blocking, or an empty socket.
    UniqueSocket OpenAndAccept(DWORD timeoutMs);

private:
    WinsockSession winsock_;
    UniqueSocket listener_;
    std::vector<UniqueSocket> fillers_;
    std::vector<u_short> fillerPorts_;  // network byte order
    std::uint16_t port_ = 0;
    bool full_ = false;
};

}
