#include "update/download_url.h"

#include "base/text.h"

#include <algorithm>
#include <cwctype>
#include <utility>
#include <vector>

namespace {

bool IsUnreservedPathByte(unsigned char byte)
{
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
           byte == '-' || byte == '_' || byte == '.' || byte == '~' || byte == '/';
}

// Whether text is a URI scheme: a letter, then letters, digits, "+", "-" or ".".
bool IsScheme(const std::wstring& text)
{
    const auto ascii = [](wchar_t c) { return c < 0x80; };
    return !text.empty() && ascii(text[0]) && std::iswalpha(text[0]) &&
           std::all_of(text.begin(), text.end(), [&](wchar_t c) {
               return ascii(c) && (std::iswalnum(c) || c == L'+' || c == L'-' || c == L'.');
           });
}

// An absolute path with its "." and ".." segments worked out: "/a/b/../c/./" is "/a/c/".
std::wstring RemoveDotSegments(const std::wstring& path)
{
    std::vector<std::wstring> kept;
    bool endsInFolder = false;
    for (std::size_t start = 1; start <= path.size();) {
        std::size_t end = path.find(L'/', start);
        if (end == std::wstring::npos)
            end = path.size();
        const std::wstring segment = path.substr(start, end - start);
        endsInFolder = segment == L"." || segment == L"..";
        if (segment == L".." && !kept.empty())
            kept.pop_back();
        else if (!endsInFolder)
            kept.push_back(segment);
        start = end + 1;
    }
    std::wstring result;
    for (const std::wstring& segment : kept)
        result += L"/" + segment;
    if (result.empty() || endsInFolder)
        result += L"/";
    return result;
}

// The path and query of an address, its path's dot segments worked out.
std::wstring NormalPathAndQuery(const std::wstring& pathAndQuery)
{
    const std::size_t query = pathAndQuery.find(L'?');
    const std::wstring path = pathAndQuery.substr(0, query);
    return RemoveDotSegments(path.empty() ? L"/" : path) +
           (query == std::wstring::npos ? L"" : pathAndQuery.substr(query));
}

// "scheme://authority" and the rest ("/path?query") of an absolute address.
std::pair<std::wstring, std::wstring> SplitOrigin(const std::wstring& address)
{
    const std::size_t authority = address.find(L"://");
    const std::size_t rest = authority == std::wstring::npos ? std::wstring::npos
                                                             : address.find_first_of(L"/?", authority + 3);
    if (rest == std::wstring::npos)
        return {address, L"/"};
    return {address.substr(0, rest), address.substr(rest)};
}

}

std::wstring PercentEncodePath(const std::wstring& path)
{
    static constexpr wchar_t kHexDigits[] = L"0123456789ABCDEF";
    std::wstring encoded;
    for (const char c : WideToUtf8(path)) {
        const auto byte = static_cast<unsigned char>(c);
        if (IsUnreservedPathByte(byte)) {
            encoded.push_back(static_cast<wchar_t>(byte));
        } else {
            encoded.push_back(L'%');
            encoded.push_back(kHexDigits[byte >> 4]);
            encoded.push_back(kHexDigits[byte & 0x0F]);
        }
    }
    return encoded;
}

std::wstring JoinUrlPath(std::wstring baseUrl, const std::wstring& encodedPath)
{
    std::replace(baseUrl.begin(), baseUrl.end(), L'\\', L'/');
    if (!baseUrl.empty() && baseUrl.back() != L'/')
        baseUrl.push_back(L'/');
    const std::size_t firstKept = encodedPath.find_first_not_of(L'/');
    if (firstKept != std::wstring::npos)
        baseUrl.append(encodedPath, firstKept);
    return baseUrl;
}

std::wstring BuildDownloadUrl(const std::wstring& baseUrl, std::wstring relativePath)
{
    std::replace(relativePath.begin(), relativePath.end(), L'\\', L'/');
    return JoinUrlPath(baseUrl, PercentEncodePath(relativePath));
}

std::wstring NormalizeDownloadUrl(const std::wstring& url)
{
    std::wstring trimmed = TrimWide(url);
    if (trimmed.size() < 3 || trimmed.find(L"://") == std::wstring::npos)
        trimmed.insert(0, L"http://");
    return trimmed;
}

std::optional<std::wstring> RedirectTarget(const std::wstring& from, const std::wstring& location)
{
    const std::wstring reference = TrimWide(location.substr(0, location.find(L'#')));
    if (reference.empty() || std::any_of(reference.begin(), reference.end(), [](wchar_t c) {
            return c <= L' ' || c == 0x7F;
        }))
        return std::nullopt;
    const std::size_t colon = reference.find(L':');
    if (colon != std::wstring::npos && colon < reference.find_first_of(L"/?") &&
        IsScheme(reference.substr(0, colon))) {
        const auto [origin, rest] = SplitOrigin(reference);
        return origin + NormalPathAndQuery(rest);
    }
    const auto [origin, rest] = SplitOrigin(from);
    if (reference.starts_with(L"//")) {
        const auto [otherOrigin, otherRest] = SplitOrigin(origin.substr(0, origin.find(L':') + 1) + reference);
        return otherOrigin + NormalPathAndQuery(otherRest);
    }
    if (reference.front() == L'/')
        return origin + NormalPathAndQuery(reference);
    const std::wstring path = rest.substr(0, rest.find(L'?'));
    if (reference.front() == L'?')
        return origin + NormalPathAndQuery(path + reference);
    return origin + NormalPathAndQuery(path.substr(0, path.rfind(L'/') + 1) + reference);
}
