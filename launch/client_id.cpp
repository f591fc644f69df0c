#include "launch/hardware_id.h"

#include <algorithm>

namespace {

constexpr std::size_t kMaxAccountUnits = 32;
constexpr std::size_t kMaxDerivedUnits = 24;

bool IsAsciiLetterOrDigit(wchar_t c)
{
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

}

std::wstring SanitizeField(std::wstring_view value)
{
    std::wstring result(value);
    std::replace_if(
        result.begin(), result.end(), [](wchar_t c) { return c == L'\t' || c == L'\r' || c == L'\n'; }, L' ');
    return result;
}

std::wstring BuildClientId(std::wstring_view account, std::wstring_view hardwareId)
{
    std::wstring sanitised = SanitizeField(account);
    if (!sanitised.empty())
        return sanitised.substr(0, kMaxAccountUnits);

    std::wstring derived;
    for (const wchar_t c : hardwareId) {
        if (derived.size() == kMaxDerivedUnits)
            break;
        if (IsAsciiLetterOrDigit(c))
            derived.push_back(c);
    }
    return L"CLIENT-" + (derived.empty() ? std::wstring(L"UNKNOWN") : derived);
}
