#pragma once

// A small HTTP/1.1 server on 127.0.0.1 that runs on its own thread inside the test: it serves the files of a
// folder (with an ETag, and single byte ranges) and answers scripted paths with faults (wrong status, no length,
// a body shorter than its length, a slow body, a connection cut part way, a redirect). Every request it saw is
// kept for the test to inspect, and the bytes of body it sent. It stops with the object.

#include "base/unique_resource.h"

#include <windows.h>

#include <atomic>
#include <chrono>
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
    bool endless = false;                  // the body sent again and again until the peer or the site stops ...
    std::uint64_t endlessLimit = 0;        // ... or this many bytes are sent (0: no such end)
    std::uint32_t answers = 0;             // above 0: only the first this many requests, then the file is served
    std::vector<std::string> headers;      // more header lines, "Name: value" (a Location, a Content-Encoding)
};

// How the site serves the files of its folder.
struct HttpFileServing {
    bool ranges = true;              // "Range: bytes=A-" or "bytes=A-B" gets 206 unless If-Range names another ETag
    bool changingValidator = false;  // a new ETag with every answer, so an If-Range never matches
};

struct HttpRequestRecord {
    std::string method;
    std::string target;                          // as sent, still percent-encoded
    std::map<std::string, std::string> headers;  // names lower-cased
    std::chrono::steady_clock::time_point at;    // when the request had been read
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

    void ServeFiles(HttpFileServing serving);
    // The first answer for target (to a request with this Range header; empty: any) announces all it answers
    // but sends only `bytes` of that, then closes.
    void CutFirstAnswer(const std::string& target, std::uint64_t bytes, const std::string& range = "");
    // The bytes of body sent for target in all answers so far, served or scripted.
    std::uint64_t BodyBytesSent(const std::string& target) const;

private:
    void Serve();
    void Answer(std::uintptr_t connection);
    bool FindScript(const std::string& target, HttpScript& script) const;
    void SendFile(std::uintptr_t connection, const HttpRequestRecord& request);
    bool Pause(DWORD milliseconds) const;

    std::wstring root_;
    UniqueSocket listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::map<std::string, HttpScript> scripts_;
    std::vector<HttpRequestRecord> requests_;
    HttpFileServing serving_;
    std::uint32_t fileAnswers_ = 0;
    std::map<std::string, std::pair<std::string, std::uint64_t>> cuts_;  // target -> range, bytes its answer sends
    std::map<std::string, std::uint64_t> sent_;  // target -> bytes of body sent
    std::thread thread_;
};

}
