#include "net/host_text.h"

#include <array>
#include <cstddef>

namespace {

struct CodePointRange {
    char32_t first;
    char32_t last;
};

// The space characters (category Zs) and the line and paragraph separators (Zl, Zp): the game's command line is
// cut into arguments at spaces, and a resolver takes none of them as part of a name.
constexpr std::array<CodePointRange, 8> kSpaces = {{
    {0x0020, 0x0020},
    {0x00A0, 0x00A0},
    {0x1680, 0x1680},
    {0x2000, 0x200A},
    {0x2028, 0x2029},
    {0x202F, 0x202F},
    {0x205F, 0x205F},
    {0x3000, 0x3000},
}};

// The format characters (category Cf): invisible in a name, they let one host pass for another, and the
// resolver's conversion of international names refuses them.
constexpr std::array<CodePointRange, 20> kFormatCharacters = {{
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
    {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x202A, 0x202E},
    {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE007F},
}};

template <std::size_t N>
bool IsIn(const std::array<CodePointRange, N>& ranges, char32_t c)
{
    for (const CodePointRange& range : ranges) {
        if (c >= range.first && c <= range.last)
            return true;
    }
    return false;
}

// Control characters break the line protocol, the command line and C strings alike (a NUL would cut the name
// the resolver sees short of the one the game gets).
bool IsControl(char32_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

bool BreaksCommandLineOrResolver(char32_t c)
{
    // A double quote would end the quoting of the game's arguments.
    return c == U'"' || IsControl(c) || IsIn(kSpaces, c) || IsIn(kFormatCharacters, c);
}

bool IsHighSurrogate(wchar_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(wchar_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

}

bool IsValidHostText(std::wstring_view host)
{
    for (std::size_t i = 0; i < host.size(); ++i) {
        char32_t c = host[i];
        if (IsHighSurrogate(host[i]) && i + 1 < host.size() && IsLowSurrogate(host[i + 1])) {
            c = 0x10000 + ((static_cast<char32_t>(host[i]) - 0xD800) << 10) + (host[i + 1] - 0xDC00);
            ++i;
        } else if (IsHighSurrogate(host[i]) || IsLowSurrogate(host[i])) {
            return false;
        }
        if (BreaksCommandLineOrResolver(c))
            return false;
    }
    return true;
}
