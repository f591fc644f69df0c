#pragma once

// The reply to a request for several byte ranges: a 206 whose body is "multipart/byteranges", each part a small
// header block (with its Content-Range) and the part's bytes, the parts between boundary lines. The parser reads
// such a body as it arrives, in pieces of any size, hands over every part's bytes with their place in the file,
// and holds the server to what was asked: every cap below, parts in order within the requested span, every
// requested byte delivered. Plain C++ with no system headers.

#include "update/block_ranges.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// RFC 2046 allows a boundary of at most 70 characters.
inline constexpr std::size_t kMaxBoundaryBytes = 70;
// A part's header block: a server writes a Content-Type and a Content-Range line, about 90 bytes.
inline constexpr std::size_t kMaxPartHeaderBytes = 1024;
// Text before the first boundary and after the last: a server writes a line break or nothing.
inline constexpr std::size_t kMaxPreambleBytes = 1024;

// The boundary of a Content-Type value "multipart/byteranges; boundary=..." (names in any letter case, the
// boundary plain or quoted); none for another type or a boundary that is empty, longer than kMaxBoundaryBytes or
// holds a control character.
std::optional<std::string> ByterangesBoundary(std::string_view contentType);

// Tracks the parts of a range reply against the ranges asked for: parts must come in order, not overlap, stay
// within the first and last byte asked for, and together deliver every byte asked for. A server may join
// neighbouring ranges into one part, but never skip a byte.
class RangeCoverage {
public:
    // The requested ranges, in order and not overlapping (as GroupRanges gives them), at least one.
    explicit RangeCoverage(std::vector<ByteRange> requested);
    // The next part; false when it breaks the rules above.
    bool Add(const ByteRange& part);
    // Whether every requested byte came.
    bool Complete() const { return next_ == requested_.size(); }

private:
    std::vector<ByteRange> requested_;
    std::size_t next_ = 0;        // the first requested range not yet wholly delivered
    std::uint64_t needed_ = 0;    // in it, the first byte not yet delivered (when above its start)
    std::uint64_t partsEnd_ = 0;  // the first byte after the last part
};

enum class ByterangesFault {
    kNone,
    kForm,          // not the form of a multipart body (a missing boundary line, bytes between parts)
    kTooLong,       // preamble, a header block or the epilogue beyond its cap
    kTooManyParts,  // more parts than ranges asked for
    kBadRange,      // a part without a readable Content-Range, of another file size, or out of order
    kIncomplete,    // the body ended before the closing boundary, or without every requested byte
    kRefused,       // the receiver of the bytes refused them
};

class ByterangesParser {
public:
    // Receives the bytes of each part with their offset in the file; false stops the parse (kRefused).
    using DataSink = std::function<bool(std::uint64_t offset, const char* data, std::size_t size)>;

    // `requested` as for RangeCoverage; `fileSize` is the whole file's, which every Content-Range must name.
    ByterangesParser(std::string boundary, std::vector<ByteRange> requested, std::uint64_t fileSize,
                     DataSink sink);

    // The next piece of the body; false once the body broke a rule (Fault says which), and from then on.
    bool Feed(const char* data, std::size_t size);
    // The body ended: whether it was whole (closing boundary seen, every requested byte delivered).
    bool Finish();
    ByterangesFault Fault() const { return fault_; }

private:
    enum class State { kPreamble, kHeaders, kData, kAfterData, kBoundary, kEpilogue };

    // One line of the non-data states (without its line break); false on a fault.
    bool Line(std::string_view line);
    bool Fail(ByterangesFault fault);
    std::size_t LineCap() const;

    std::string delimiter_;  // "--" + boundary
    RangeCoverage coverage_;
    std::size_t maxParts_;
    std::uint64_t fileSize_;
    DataSink sink_;

    State state_ = State::kPreamble;
    ByterangesFault fault_ = ByterangesFault::kNone;
    std::string line_;            // the line being read
    std::size_t stateBytes_ = 0;  // bytes read in the preamble, the current header block or the epilogue
    std::size_t parts_ = 0;
    std::optional<ByteRange> part_;  // the Content-Range of the part whose headers are being read
    std::uint64_t offset_ = 0;       // where the next data byte goes
    std::uint64_t remaining_ = 0;    // data bytes of the current part still to come
};
