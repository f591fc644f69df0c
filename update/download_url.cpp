#include "update/download_url.h"

#include "base/text.h"

#include <algorithm>

namespace {

bool IsUnreservedPathByte(unsigned char byte)
{
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
           byte == '-' || byte == '_' || byte == '.' || byte == '~' || byte == '/';
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
