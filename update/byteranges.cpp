#include "update/byteranges.h"

#include <algorithm>
#include <cstring>

namespace {

char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Decimal digits only, no sign, and no overflow.
bool ParseDecimal(std::string_view text, std::uint64_t& value)
{
    if (text.empty() || text.size() > 19)
        return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

// "bytes FIRST-LAST/TOTAL" of a part's Content-Range.
bool ParsePartRange(std::string_view text, std::uint64_t fileSize, ByteRange& range)
{
    text = TrimBlanks(text);
    if (text.size() < 6 || !EqualsIgnoringCase(text.substr(0, 6), "bytes "))
        return false;
    text = TrimBlanks(text.substr(6));
    const std::size_t dash = text.find('-');
    const std::size_t slash = text.find('/');
    std::uint64_t total = 0;
    return dash != std::string_view::npos && slash != std::string_view::npos && dash < slash &&
           ParseDecimal(text.substr(0, dash), range.first) &&
           ParseDecimal(text.substr(dash + 1, slash - dash - 1), range.last) &&
           ParseDecimal(text.substr(slash + 1), total) && total == fileSize && range.first <= range.last &&
           range.last < fileSize;
}

// A boundary line: the delimiter, then only "--" for the closing one, and blanks a server may pad with.
bool IsBoundaryLine(std::string_view line, std::string_view delimiter, bool closing)
{
    if (line.substr(0, delimiter.size()) != delimiter)
        return false;
    line.remove_prefix(delimiter.size());
    if (closing) {
        if (line.substr(0, 2) != "--")
            return false;
        line.remove_prefix(2);
    }
    return TrimBlanks(line).empty();
}

}

std::optional<std::string> ByterangesBoundary(std::string_view contentType)
{
    std::size_t at = contentType.find(';');
    if (!EqualsIgnoringCase(TrimBlanks(contentType.substr(0, at)), "multipart/byteranges"))
        return std::nullopt;
    while (at != std::string_view::npos) {
        const std::size_t equals = contentType.find('=', at + 1);
        if (equals == std::string_view::npos)
            return std::nullopt;
        const std::string_view name = TrimBlanks(contentType.substr(at + 1, equals - at - 1));
        std::string_view value = TrimBlanks(contentType.substr(equals + 1));
        const std::size_t valueAt = static_cast<std::size_t>(value.data() - contentType.data());
        std::size_t next = 0;
        if (!value.empty() && value.front() == '"') {
            // A quoted value ends at the next quote and may hold ";".
            const std::size_t close = value.find('"', 1);
            if (close == std::string_view::npos)
                return std::nullopt;
            next = value.find(';', close);
            value = value.substr(1, close - 1);
        } else {
            next = value.find(';');
            value = TrimBlanks(value.substr(0, next));
        }
        at = next == std::string_view::npos ? next : valueAt + next;
        if (!EqualsIgnoringCase(name, "boundary"))
            continue;
        const bool control = std::any_of(value.begin(), value.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        });
        if (value.empty() || value.size() > kMaxBoundaryBytes || control)
            return std::nullopt;
        return std::string(value);
    }
    return std::nullopt;
}

RangeCoverage::RangeCoverage(std::vector<ByteRange> requested)
    : requested_(std::move(requested)), partsEnd_(requested_.empty() ? 0 : requested_.front().first)
{
}

bool RangeCoverage::Add(const ByteRange& part)
{
    if (requested_.empty() || part.first > part.last || part.first < partsEnd_ || part.last > requested_.back().last)
        return false;
    partsEnd_ = part.last + 1;
    while (next_ < requested_.size()) {
        const ByteRange& wanted = requested_[next_];
        const std::uint64_t needed = std::max(needed_, wanted.first);
        if (needed > part.last)
            break;
        if (needed < part.first)
            return false;  // parts only move forward: this byte can no longer come
        if (part.last < wanted.last) {
            needed_ = part.last + 1;
            break;
        }
        ++next_;
        needed_ = 0;
    }
    return true;
}

ByterangesParser::ByterangesParser(std::string boundary, std::vector<ByteRange> requested, std::uint64_t fileSize,
                                   DataSink sink)
    : delimiter_("--" + boundary),
      coverage_(requested),
      maxParts_(requested.size()),
      fileSize_(fileSize),
      sink_(std::move(sink))
{
}

bool ByterangesParser::Fail(ByterangesFault fault)
{
    if (fault_ == ByterangesFault::kNone)
        fault_ = fault;
    return false;
}

std::size_t ByterangesParser::LineCap() const
{
    return state_ == State::kPreamble || state_ == State::kEpilogue ? kMaxPreambleBytes : kMaxPartHeaderBytes;
}

bool ByterangesParser::Feed(const char* data, std::size_t size)
{
    if (fault_ != ByterangesFault::kNone)
        return false;
    while (size > 0) {
        if (state_ == State::kData) {
            const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size, remaining_));
            if (!sink_(offset_, data, piece))
                return Fail(ByterangesFault::kRefused);
            offset_ += piece;
            remaining_ -= piece;
            data += piece;
            size -= piece;
            if (remaining_ == 0) {
                state_ = State::kAfterData;
                stateBytes_ = 0;
            }
            continue;
        }
        const auto* lineFeed = static_cast<const char*>(std::memchr(data, '\n', size));
        const std::size_t piece = lineFeed != nullptr ? static_cast<std::size_t>(lineFeed - data) + 1 : size;
        if (stateBytes_ + piece > LineCap())
            return Fail(ByterangesFault::kTooLong);
        stateBytes_ += piece;
        line_.append(data, lineFeed != nullptr ? piece - 1 : piece);
        data += piece;
        size -= piece;
        if (lineFeed == nullptr)
            continue;
        if (!line_.empty() && line_.back() == '\r')
            line_.pop_back();
        const std::string line = std::move(line_);
        line_.clear();
        if (!Line(line))
            return false;
    }
    return true;
}

bool ByterangesParser::Line(std::string_view line)
{
    switch (state_) {
    case State::kPreamble:
    case State::kBoundary:
        if (IsBoundaryLine(line, delimiter_, true)) {
            state_ = State::kEpilogue;
            stateBytes_ = 0;
        } else if (IsBoundaryLine(line, delimiter_, false)) {
            state_ = State::kHeaders;
            stateBytes_ = 0;
            part_.reset();
        } else if (state_ == State::kBoundary) {
            return Fail(ByterangesFault::kForm);
        }
        return true;
    case State::kHeaders: {
        if (line.empty()) {
            if (!part_)
                return Fail(ByterangesFault::kBadRange);
            if (++parts_ > maxParts_)
                return Fail(ByterangesFault::kTooManyParts);
            if (!coverage_.Add(*part_))
                return Fail(ByterangesFault::kBadRange);
            offset_ = part_->first;
            remaining_ = part_->Size();
            state_ = State::kData;
            return true;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return Fail(ByterangesFault::kForm);
        if (!EqualsIgnoringCase(TrimBlanks(line.substr(0, colon)), "Content-Range"))
            return true;
        ByteRange range;
        if (part_ || !ParsePartRange(line.substr(colon + 1), fileSize_, range))
            return Fail(ByterangesFault::kBadRange);
        part_ = range;
        return true;
    }
    case State::kAfterData:
        // The part's bytes end with the line break that starts the next boundary line.
        if (!line.empty())
            return Fail(ByterangesFault::kForm);
        state_ = State::kBoundary;
        return true;
    case State::kData:
    case State::kEpilogue:
        return true;
    }
    return true;
}

bool ByterangesParser::Finish()
{
    if (fault_ != ByterangesFault::kNone)
        return false;
    // A closing boundary may end the body without a line break after it.
    if (!line_.empty()) {
        const std::string line = std::move(line_);
        line_.clear();
        if (!Line(line))
            return false;
    }
    if (state_ != State::kEpilogue || !coverage_.Complete())
        return Fail(ByterangesFault::kIncomplete);
    return true;
}
