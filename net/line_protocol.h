#pragma once

// The framing of the line protocol, apart from any socket: a request is its bytes and one line feed; a reply is
// lines cut at line feeds, and each completed line says whether more follow.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// A line that gathers this many bytes without a line feed breaks the reply off (8191 bytes is the longest line).
inline constexpr std::size_t kMaxLineBytes = 8192;

// A reply that has taken this many bytes, or delivered this many lines, is broken off: a peer that streams
// without end must not exhaust the launcher's memory. Both sit far above any real directory listing.
inline constexpr std::size_t kMaxReplyBytes = 1024 * 1024;
inline constexpr std::size_t kMaxReplyLines = 16384;

// Whether a completed reply line closes the reply: "END", anything beginning with "ERR", and any "OK" line that
// does not open a listing ("OK LIST...", "OK INFO...", exactly "OK REGION").
bool LineEndsReply(std::string_view line);

// Collects one reply byte by byte into the caller's list. Lines completed so far stay in the list whatever ends
// the reply; an unfinished line is dropped.
class LineReplyReader {
public:
    explicit LineReplyReader(std::vector<std::string>& lines) : lines_(lines) {}

    // Takes the next byte of the reply; false once the reply is complete or broken off (feed no more then).
    bool Feed(char byte);

private:
    std::vector<std::string>& lines_;
    std::string current_;
    std::size_t received_ = 0;
};
