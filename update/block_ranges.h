#pragma once

// Which bytes of a new file to ask the server for once the old copy has been matched, and how to ask: the
// missing blocks as byte ranges, neighbours run together, and the ranges grouped into requests small enough for
// every server and HTTP stack on the way. Plain C++ with no system headers.

#include "update/block_index.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Both ends included, as HTTP writes a range.
struct ByteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;

    std::uint64_t Size() const { return last - first + 1; }
    friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

// The most bytes one request asks for, in one range or in several. Wine's WinHTTP reads a Content-Length above
// 2^31 - 1 as 2^31 - 1, so a reply must stay below 2 GiB with its part headers; half of that leaves room for
// any number of them, and a reply of 1 GiB is still one the slowest honest line finishes before a retry would
// have to start it again.
inline constexpr std::uint64_t kMaxRangeRequestBytes = 1ull << 30;

// The most ranges one request asks for. Measured against nginx (bench/range_probe.py): one request for 200
// scattered ranges of 8 KiB over a line of 50 ms and 2 MiB/s took 0.85 s, one range per request 5.6 s over the two
// connections a server may allow a client (1.4 s over eight), and the bytes beyond the ranges were 1.5% against
// 3.4%. nginx takes about 400 ranges before its request headers outgrow their 8 KiB buffer (then it answers 400),
// and Apache answers more than 200 ranges (its MaxRanges) with the whole file; 128 stay well below both, and a
// header of at most about 3 KiB even with offsets past 4 GiB.
inline constexpr std::size_t kMaxRangesPerRequest = 128;

// How the ranges go out: at most this many ranges and this many bytes per request.
struct RangeRequestLimits {
    std::size_t maxRanges = kMaxRangesPerRequest;
    std::uint64_t maxBytes = kMaxRangeRequestBytes;
};

// The bytes of the new file whose blocks have no source (kBlockNotFound in `sources`, one per block of index),
// in file order: blocks that follow each other become one range, and a range longer than maxBytes is cut into
// pieces of at most maxBytes.
std::vector<ByteRange> MissingRanges(const BlockIndex& index, const std::vector<std::uint64_t>& sources,
                                     std::uint64_t maxBytes = kMaxRangeRequestBytes);

// The ranges, in order, grouped into requests within the limits. Each range must be no longer than
// limits.maxBytes (MissingRanges cuts them so).
std::vector<std::vector<ByteRange>> GroupRanges(const std::vector<ByteRange>& ranges, const RangeRequestLimits& limits);

// The value of a Range header asking for the ranges: "bytes=0-99,4096-8191".
std::string RangeHeaderValue(const std::vector<ByteRange>& ranges);
