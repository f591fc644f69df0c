#pragma once

// One exchange of the line protocol: a fresh TCP connection, one request line, one reply, closed again.
// The caller holds a WinsockSession for as long as it makes exchanges.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct addrinfoW;

// Each stalled send and each silent gap in the reply costs at most this long.
inline constexpr unsigned long kSocketTimeoutMs = 3000;

// The whole exchange, counted from the start of the connect, ends after this long even while the peer never
// accepts or keeps trickling bytes, so a dead or hostile service costs the player at most this long.
inline constexpr unsigned long kExchangeDeadlineMs = 10000;

// A connect that has not finished after this long gets the next resolved address tried beside it (RFC 8305's
// recommended connection attempt delay). The earlier attempt goes on, so a link slower than that loses nothing.
inline constexpr unsigned long kConnectAttemptDelayMs = 250;

// At most this many connects wait at once, however many addresses the resolver returned.
inline constexpr std::size_t kMaxConnectAttempts = 16;

// Sends `request` and a line feed to host:port (a name or a numeric IPv4/IPv6 address; the resolved addresses
// are tried in order, staggered) and puts the reply lines into `lines`, emptied first. True exactly when at least
// one line arrived, whatever it says; resolve, connect and send failures give false and no lines. A caller with
// less time left than kExchangeDeadlineMs passes it as limitMs; with none left the exchange is not tried.
bool SendLineRequest(const std::wstring& host, std::uint16_t port, std::string_view request,
                     std::vector<std::string>& lines, unsigned long limitMs = kExchangeDeadlineMs);

// The same exchange over an address list that is already resolved, on the first entry to accept.
bool SendLineRequestTo(const addrinfoW* addresses, std::string_view request, std::vector<std::string>& lines,
                       unsigned long limitMs = kExchangeDeadlineMs);
