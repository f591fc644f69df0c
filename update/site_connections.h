#pragma once

// How the transfers of one update share its site: how many run at once, and how a large body is split among
// them. Sites limit the requests of one client (nginx's limit_conn answers the extra ones 503, a rate limiter
// 429); the count at once follows what the site accepts instead of failing the update.

#include "update/fetcher.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

// The pieces a large body is fetched in, each with a range request of its own.
struct PartSizes {
    // A part smaller than this is not worth a request of its own.
    std::uint64_t smallest = 16ull << 20;
    // Well below 2 GiB: some HTTP stacks (Wine's WinHTTP among them) read a Content-Length above 2,147,483,647
    // as that number and would end a larger body there.
    std::uint64_t largest = 1ull << 30;
};

class SiteConnections {
public:
    explicit SiteConnections(std::uint32_t count, PartSizes parts = {});
    SiteConnections(const SiteConnections&) = delete;
    SiteConnections& operator=(const SiteConnections&) = delete;

    // How many transfers may run at once now.
    std::uint32_t Count() const;
    const PartSizes& Parts() const { return parts_; }

    // Waits for a free connection, asking isCancelled every kCancelPoll; false when it says true first.
    bool Take(const DownloadCancelled& isCancelled);
    void Give();
    // The site refused the caller's transfer for load (503, 429) while the caller holds a connection. With
    // others running, the site wants fewer at once: the count becomes one fewer than were running (at least
    // one) and the answer is true. Alone, the refusal is the site's own and changes nothing: false.
    bool Refused();

private:
    mutable std::mutex lock_;
    std::condition_variable freed_;
    std::uint32_t count_;
    std::uint32_t running_ = 0;
    const PartSizes parts_;
};

// A busy site's wait is honoured up to this long; the same span the player waits for a silent server.
inline constexpr std::chrono::seconds kRetryAfterCap{30};

// The wait a Retry-After header asks for: delay-seconds, or an HTTP date less the reply's Date (a date in the
// past is no wait); none when the header is missing or unreadable, or a date comes without a readable Date.
std::optional<std::chrono::seconds> ParseRetryAfter(const std::wstring& retryAfter, const std::wstring& replyDate);

// The pause before the next try of a transfer a busy site refused for the `refusal`-th time (from 0): its
// Retry-After up to kRetryAfterCap, or else a pause that grows with the refusals as kRetryPauses do.
std::chrono::milliseconds BusyPause(std::optional<std::chrono::seconds> retryAfter, std::size_t refusal);
