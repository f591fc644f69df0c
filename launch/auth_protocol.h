#pragma once

// The words of the launch authorisation exchange with a region's service, apart from any socket: the CAPTCHA
// reply, the AUTH request line, the acceptance line and what every refusal means to the player.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kClientCodeLength = 16;

// The dynamic code of a CAPTCHA reply: the second field when the first line is exactly "OK CAPTCHA" and one more
// tab-separated field; empty for any other reply, or none.
std::wstring ParseCaptchaReply(const std::vector<std::string>& lines);

// The seven fields of the AUTH request. The client id and hardware id carry no tab or line break already.
struct AuthRequest {
    std::wstring clientVersion;
    std::wstring clientSubVersion;
    std::wstring clientCode;
    std::wstring clientId;
    std::wstring hardwareId;
    std::wstring dynamicCode;
};

// "AUTH" and the six values joined by single tabs, as UTF-8; empty when the text is not valid UTF-16.
std::string BuildAuthRequestLine(const AuthRequest& request);

// An acceptance begins with the seven bytes "OK AUTH"; every other first line is a refusal.
bool IsAuthAcceptance(std::string_view line);

// The player's text for a refusal line (compared whole, byte for byte), without the common lead-in.
std::wstring AuthRefusalReason(std::string_view line);
inline constexpr wchar_t kNoResponseReason[] = L"服务器无响应。";

struct AuthAcceptance {
    enum class Outcome { Accepted, WrongFieldCount, PortOutOfRange };
    Outcome outcome = Outcome::WrongFieldCount;
    std::wstring host;
    std::uint16_t port = 0;
};

// Reads an acceptance line: exactly three tab-separated fields, the connect host and a decimal port from 1 to
// 65535 read like a standard string-to-int conversion. The host goes on to the game's command line and
// environment as it is, also when empty; one with a character that could break them or the resolver
// (IsValidHostText) makes the line malformed (WrongFieldCount). A port field without digits, or too large for a
// 32-bit integer, throws std::invalid_argument or std::out_of_range.
AuthAcceptance ParseAuthAcceptance(std::string_view line);

// The game takes exactly 16 printable ASCII characters (no space) as its client code.
bool IsValidClientCode(std::wstring_view code);
