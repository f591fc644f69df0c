#include "update/manifest.h"

#include "app/text.h"
#include "update/crc32.h"
#include "update/ini_file.h"
#include "update/path_rules.h"

#include <windows.h>

#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <unordered_set>

namespace {

constexpr std::int64_t kMaxEntries = 100000;

const wchar_t kCountMessage[] = L"更新清单中的 Count 无效；请确认网站返回的是 up.ini，而不是网页。";
const wchar_t kLocalPathMessage[] = L"清单中的本地文件路径无效。";

std::wstring EntryMessage(std::size_t n)
{
    return L"更新清单第 " + std::to_wstring(n) + L" 项路径或 CRC32 无效。";
}

// Count is read like a signed 32-bit decimal (optional sign, digits, nothing after them) and must be 0..100000.
bool ParseCount(const std::wstring& text, std::size_t& count)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-'))
        negative = text[i++] == L'-';
    if (i == text.size())
        return false;
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < L'0' || text[i] > L'9')
            return false;
        value = value * 10 + (text[i] - L'0');
        if (value > static_cast<std::int64_t>(INT32_MAX) + 1)
            return false;
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX || value < 0 || value > kMaxEntries)
        return false;
    count = static_cast<std::size_t>(value);
    return true;
}

bool IsHexDigit(wchar_t c)
{
    return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F');
}

std::wstring FullPath(const std::wstring& path)
{
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        throw std::runtime_error("invalid path");
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed)
        throw std::runtime_error("invalid path");
    full.resize(length);
    return full;
}

std::wstring ParentFolder(const std::wstring& path)
{
    const std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

}

bool ParseCrc32Text(const std::wstring& text, std::uint32_t& value)
{
    std::wstring digits = UpperWide(TrimWide(text));
    unsigned base = 10;
    if (digits.size() >= 2 && digits.compare(0, 2, L"0X") == 0) {
        digits.erase(0, 2);
        base = 16;
    } else if (digits.size() == 8) {
        base = 16;
    }
    if (digits.empty())
        return false;
    std::uint64_t result = 0;
    for (const wchar_t c : digits) {
        if (!(base == 16 ? IsHexDigit(c) : (c >= L'0' && c <= L'9')))
            return false;
        result = result * base + static_cast<unsigned>(c <= L'9' ? c - L'0' : c - L'A' + 10);
        if (result > 0xFFFFFFFFull)
            return false;
    }
    value = static_cast<std::uint32_t>(result);
    return true;
}

std::wstring ReadIniString(const std::wstring& iniPath, const std::wstring& section, const std::wstring& key)
{
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetPrivateProfileStringW(section.c_str(), key.c_str(), L"", buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), iniPath.c_str());
    buffer.resize(length);
    return TrimWide(buffer);
}

bool ParseManifest(const std::wstring& manifestPath, std::vector<ManifestEntry>& entries, std::wstring& error)
{
    error.clear();
    IniFile ini;
    ini.Load(manifestPath);

    std::size_t count = 0;
    if (!ParseCount(TrimWide(ini.Get(L"Set", L"Count")), count)) {
        error = kCountMessage;
        return false;
    }

    std::vector<ManifestEntry> parsed;
    parsed.reserve(count);
    std::unordered_set<std::wstring> seen;
    seen.reserve(count);
    for (std::size_t n = 1; n <= count; ++n) {
        const std::wstring number = std::to_wstring(n);
        ManifestEntry entry{TrimWide(ini.Get(L"up", L"File" + number)), TrimWide(ini.Get(L"up", L"CFile" + number)),
                            TrimWide(ini.Get(L"up", L"XYZ" + number))};
        std::uint32_t crc = 0;
        if (!IsSafeRelativePath(entry.remotePath) || !IsSafeRelativePath(entry.localPath) ||
            !ParseCrc32Text(entry.crc32Hex, crc)) {
            error = EntryMessage(n);
            return false;
        }
        entry.crc32Hex = FormatCrc32(crc);
        if (!seen.insert(UpperWide(entry.localPath)).second) {
            error = L"客户端目标文件重复：" + entry.localPath;
            return false;
        }
        parsed.push_back(std::move(entry));
    }

    // Every remote path must also stay a plain path under the folder the manifest was saved in.
    try {
        UnderRootResolver resolver(ParentFolder(FullPath(manifestPath)));
        for (const ManifestEntry& entry : parsed)
            resolver.ResolveWithStatus(entry.remotePath);
    } catch (const std::exception&) {
        error = kLocalPathMessage;
        return false;
    }

    entries = std::move(parsed);
    return true;
}
