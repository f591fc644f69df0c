#pragma once

// A small HTTP/1.1 server on 127.0.0.1 that runs on its own thread inside the test: it serves the files of a
// folder and answers scripted paths with faults (wrong status, no length, a body shorter than its length, a
// slow body). Every request it saw is kept for the test to inspect. It stops with the object.

#include "base/unique_resource.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace probe {

// SOCKET without the Winsock header here, so this header mixes with <windows.h> in any order.
struct SocketTraits {
    using Type = std::uintptr_t;
    static Type Empty() noexcept { return ~Type{0}; }
    static void Close(Type socket) noexcept;
};
using UniqueSocket = UniqueResource<SocketTraits>;

// How the site answers one path instead of serving a file.
struct HttpScript {
    int status = 200;
    std::string body;
    bool sendLength = true;                // a Content-Length header with the size of body
    std::int64_t announcedLength = -1;     // when not negative, the Content-Length sent instead
    std::size_t chunkBytes = 65536;        // the body goes out in pieces of this size ...
    DWORD pauseBetweenChunksMs = 0;        // ... with this pause after each piece
    bool endless = false;                  // the body sent again and again until the peer or the site stops
};

struct HttpRequestRecord {
    std::string method;
    std::string target;                          // as sent, still percent-encoded
    std::map<std::string, std::string> headers;  // names lower-cased
};

class HttpSite {
public:
    // Files are served from root (empty: only scripted paths answer, everything else is 404).
    explicit HttpSite(std::wstring root = L"");
    HttpSite(const HttpSite&) = delete;
    HttpSite& operator=(const HttpSite&) = delete;
    ~HttpSite();

    std::uint16_t Port() const { return port_; }
    // "http://127.0.0.1:<port>/"
    std::wstring BaseUrl() const;

    // Answers the request target (for example "/up.ini") with the script from now on.
    void Script(const std::string& target, HttpScript script);
    std::vector<HttpRequestRecord> Requests() const;
    // Requests whose target is this one.
    std::size_t CountRequests(const std::string& target) const;

private:
    void Serve();
    void Answer(std::uintptr_t connection);
    bool FindScript(const std::string& target, HttpScript& script) const;
    void SendFile(std::uintptr_t connection, const std::string& target) const;
    bool Pause(DWORD milliseconds) const;

    std::wstring root_;
    UniqueSocket listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::map<std::string, HttpScript> scripts_;
    std::vector<HttpRequestRecord> requests_;
    std::thread thread_;
};

}
