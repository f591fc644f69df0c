#include "net/host_text.h"

#include <cstddef>

namespace {

// The longest host name the name system carries, and the longest label in it.
constexpr std::size_t kMaxHostNameLength = 253;
constexpr std::size_t kMaxLabelLength = 63;

bool IsAsciiDigit(wchar_t c)
{
    return c >= L'0' && c <= L'9';
}

bool IsAsciiLetter(wchar_t c)
{
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

bool IsHexDigit(wchar_t c)
{
    return IsAsciiDigit(c) || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

bool IsHostName(std::wstring_view host)
{
    if (host.empty() || host.size() > kMaxHostNameLength)
        return false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = host.find(L'.', start);
        const std::wstring_view label = host.substr(start, end - start);
        if (label.empty() || label.size() > kMaxLabelLength || label.front() == L'-' || label.back() == L'-')
            return false;
        for (const wchar_t c : label) {
            if (!IsAsciiLetter(c) && !IsAsciiDigit(c) && c != L'-')
                return false;
        }
        if (end == std::wstring_view::npos)
            return true;
        start = end + 1;
    }
}

// Four dotted decimal parts of 0 to 255, one to three digits each.
bool IsIpv4Literal(std::wstring_view text)
{
    int parts = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(L'.', start);
        const std::wstring_view part = text.substr(start, end - start);
        if (part.empty() || part.size() > 3)
            return false;
        int value = 0;
        for (const wchar_t c : part) {
            if (!IsAsciiDigit(c))
                return false;
            value = value * 10 + (c - L'0');
        }
        if (value > 255 || ++parts > 4)
            return false;
        if (end == std::wstring_view::npos)
            return parts == 4;
        start = end + 1;
    }
}

// Colon-separated groups of one to four hex digits (the last may be an IPv4 literal worth two groups), eight in
// all, or fewer with one "::" standing for the missing zero groups.
bool IsIpv6Literal(std::wstring_view text)
{
    const std::size_t gap = text.find(L"::");
    if (gap != std::wstring_view::npos && text.find(L"::", gap + 1) != std::wstring_view::npos)
        return false;
    int groups = 0;
    const auto countGroups = [&](std::wstring_view side, bool lastSide) {
        if (side.empty())
            return true;
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = side.find(L':', start);
            const std::wstring_view group = side.substr(start, end - start);
            if (end == std::wstring_view::npos && lastSide && group.find(L'.') != std::wstring_view::npos) {
                groups += 2;
                return IsIpv4Literal(group);
            }
            if (group.empty() || group.size() > 4)
                return false;
            for (const wchar_t c : group) {
                if (!IsHexDigit(c))
                    return false;
            }
            ++groups;
            if (end == std::wstring_view::npos)
                return true;
            start = end + 1;
        }
    };
    if (gap == std::wstring_view::npos)
        return countGroups(text, true) && groups == 8;
    return countGroups(text.substr(0, gap), false) && countGroups(text.substr(gap + 2), true) && groups < 8;
}

}

bool IsValidHostText(std::wstring_view host)
{
    if (host.find(L':') != std::wstring_view::npos)
        return IsIpv6Literal(host);
    // Every IPv4 literal is a host name by these rules too.
    return IsHostName(host);
}
