#include "launch/region_line.h"

#include "base/text.h"
#include "net/host_text.h"

#include <climits>
#include <cwctype>

namespace {

bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b)
{
    const auto fold = [](wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; };
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i]))
            return false;
    }
    return true;
}

// Control characters (C0, DEL, C1) and the marks, embeddings, overrides and isolates that reorder bidirectional
// text: on a region button they would hide or reverse part of a name, so one region could pass for another.
bool IsHiddenCharacter(wchar_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::wstring StripHiddenCharacters(std::wstring_view name)
{
    std::wstring shown;
    shown.reserve(name.size());
    for (const wchar_t c : name) {
        if (!IsHiddenCharacter(c))
            shown.push_back(c);
    }
    return shown;
}

// The server's English realm names are shown by their Chinese short names.
std::wstring DisplayNameOf(const std::wstring& name)
{
    if (EqualsIgnoringAsciiCase(name, L"Realm 1") || EqualsIgnoringAsciiCase(name, L"Vorn Server - Realm 1"))
        return L"一区";
    if (EqualsIgnoringAsciiCase(name, L"Realm 2") || EqualsIgnoringAsciiCase(name, L"Vorn Server - Realm 2"))
        return L"二区";
    return name;
}

}

std::optional<int> ReadLeadingInt(std::wstring_view text)
{
    std::size_t at = 0;
    while (at < text.size() && std::iswspace(text[at]))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == L'+' || text[at] == L'-'))
        negative = text[at++] == L'-';
    long long value = 0;
    bool anyDigit = false;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
        anyDigit = true;
        value = value * 10 + (text[at] - L'0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            return std::nullopt;
    }
    if (!anyDigit)
        return std::nullopt;
    value = negative ? -value : value;
    if (value > INT_MAX || value < INT_MIN)
        return std::nullopt;
    return static_cast<int>(value);
}

std::optional<RegionInfo> ParseRegionLine(std::string_view line)
{
    const std::vector<std::wstring> fields = SplitFields(Utf8ToWide(line), L'\t');
    if (fields.size() != 6 || fields[0] != L"REGION")
        return std::nullopt;
    const std::optional<int> port = ReadLeadingInt(fields[4]);
    if (!port || *port < 1 || *port > 65535 || !IsValidHostText(fields[3]))
        return std::nullopt;
    return RegionInfo{DisplayNameOf(StripHiddenCharacters(fields[2])), fields[3], static_cast<std::uint16_t>(*port),
                      fields[5]};
}
