#pragma once

// A large body in parts: each part a range request of its own, several at once over the site's connections, as
// download managers fetch. It keeps every request below the largest length an HTTP stack reads (site_connections.h,
// PartSizes), and a single large file comes over as many connections as the update may use.

#include "update/fetcher.h"
#include "update/site_connections.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The bytes [first, end) of a body.
struct ByteSpan {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    bool operator==(const ByteSpan&) const = default;
};

// Whether a body of `length` bytes that the server sends in ranges is fetched in parts rather than whole: when
// one reply could not carry it (above parts.largest), or when `workers` transfers at once can share it in parts
// of parts.smallest at least.
bool FetchesInParts(std::uint64_t length, std::uint32_t workers, const PartSizes& parts);

// The parts of a body of `length` bytes for `workers` transfers at once: one for each while every part keeps
// parts.smallest, more when a part would exceed parts.largest; of nearly equal size, in order, together exactly
// [0, length).
std::vector<ByteSpan> PlanParts(std::uint64_t length, std::uint32_t workers, const PartSizes& parts);

// Writes `size` bytes at `offset` of the body; called from several threads at once. A failure stops the fetch.
using WriteAt = std::function<vorn::Status(std::uint64_t offset, const char* data, std::size_t size)>;

// Fetches a body of `length` bytes whose server sends ranges, in the parts of PlanParts for the count of
// limits.site (none: one at a time), each with Range and `validator` as If-Range and tried again as any transfer
// (FetchWithRetries, which takes a connection of the site for every try); a part that is cut continues from where
// it stopped. Only a 206 with the range asked is taken: anything else (a whole body, as after the file changed
// on the server) fails with kUnusableRange and kUnusableRangeMessage. onProgress (held bytes of the whole body, length) and isCancelled
// are called on the calling thread, at least every kCancelPoll. kDone when every part is in; otherwise the first
// failure.
FetchResult FetchInParts(Fetcher& fetcher, const std::wstring& url, std::uint64_t length, const std::wstring& validator,
                         const TransferLimits& limits, const WriteAt& write, const DownloadProgress& onProgress,
                         const DownloadCancelled& isCancelled);
