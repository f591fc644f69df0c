#include "update/manifest.h"

#include "base/text.h"
#include "update/crc32.h"
#include "update/ini_file.h"
#include "update/path_rules.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

namespace {

constexpr std::int64_t kMaxEntries = 100000;

const wchar_t kCountMessage[] = L"更新清单中的 Count 无效；请确认网站返回的是 up.ini，而不是网页。";
const wchar_t kLocalPathMessage[] = L"清单中的本地文件路径无效。";

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

// towupper, without a library call for the common ASCII case.
wchar_t UpperUnit(wchar_t c)
{
    if (c < 0x80)
        return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
    return static_cast<wchar_t>(std::towupper(c));
}

// Case-insensitive set of the local paths seen so far, as positions in the entry list: no copy of a path is made.
class LocalPathSet {
public:
    LocalPathSet(const std::vector<ManifestEntry>& entries, std::size_t capacity) : entries_(entries)
    {
        std::size_t size = 16;
        while (size < capacity * 2)
            size *= 2;
        slots_.assign(size, 0);
    }

    // Adds entries_[index]; false when an equal path (ignoring case) is already there.
    bool Insert(std::size_t index)
    {
        const std::wstring& path = entries_[index].localPath;
        std::uint32_t hash = 2166136261u;
        for (const wchar_t c : path)
            hash = (hash ^ static_cast<std::uint32_t>(UpperUnit(c))) * 16777619u;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            if (slots_[i] == 0) {
                slots_[i] = index + 1;
                return true;
            }
            if (EqualsIgnoreCase(entries_[slots_[i] - 1].localPath, path))
                return false;
        }
    }

private:
    const std::vector<ManifestEntry>& entries_;
    std::vector<std::size_t> slots_;  // position + 1; 0 is empty
};

// The number (from 1) of the first entry, in list order, that is a folder of an earlier entry or has an earlier
// entry as a folder ("a" and "a\\b", ignoring case); 0 when there is none. Both cannot exist in the client at
// once: whichever came second would fail on every run, after the first had been installed.
std::size_t FirstNestedEntry(const std::vector<ManifestEntry>& entries)
{
    std::vector<std::wstring> upper;
    upper.reserve(entries.size());
    std::unordered_map<std::wstring_view, std::size_t> indexOf;
    indexOf.reserve(entries.size());
    for (const ManifestEntry& entry : entries) {
        std::wstring& path = upper.emplace_back(entry.localPath);
        for (wchar_t& c : path)
            c = UpperUnit(c);
        indexOf.emplace(path, upper.size() - 1);
    }
    std::size_t first = 0;
    for (std::size_t i = 0; i < upper.size(); ++i) {
        const std::wstring_view path = upper[i];
        for (std::size_t at = path.find(L'\\'); at != std::wstring_view::npos; at = path.find(L'\\', at + 1)) {
            const auto folder = indexOf.find(path.substr(0, at));
            if (folder == indexOf.end())
                continue;
            const std::size_t later = std::max(i, folder->second) + 1;
            if (first == 0 || later < first)
                first = later;
        }
    }
    return first;
}

std::wstring ParentFolder(const std::wstring& path)
{
    const std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

}

std::wstring EntryMessage(std::size_t n)
{
    return L"更新清单第 " + std::to_wstring(n) + L" 项路径或 CRC32 无效。";
}

bool ParseCrc32Text(const std::wstring& raw, std::uint32_t& value)
{
    const std::wstring text = TrimWide(raw);
    std::size_t begin = 0;
    const std::size_t end = text.size();
    const auto upper = [&](std::size_t i) { return static_cast<wchar_t>(std::towupper(text[i])); };
    unsigned base = 10;
    if (end - begin >= 2 && upper(begin) == L'0' && upper(begin + 1) == L'X') {
        begin += 2;
        base = 16;
    } else if (end - begin == 8) {
        base = 16;
    }
    if (begin == end)
        return false;
    std::uint64_t result = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const wchar_t c = upper(i);
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

vorn::Result<std::vector<ManifestEntry>> ParseManifest(const std::wstring& manifestPath)
{
    IniFile ini;
    ini.Load(manifestPath);

    std::size_t count = 0;
    if (!ParseCount(TrimWide(ini.Get(L"Set", L"Count")), count))
        return vorn::Failure{kCountMessage};

    std::vector<ManifestEntry> parsed;
    parsed.reserve(count);
    LocalPathSet seen(parsed, count);
    std::wstring key;
    const auto read = [&](const wchar_t* stem, const std::wstring& number) {
        key.assign(stem).append(number);
        return TrimWide(ini.Get(L"up", key));
    };
    for (std::size_t n = 1; n <= count; ++n) {
        const std::wstring number = std::to_wstring(n);
        ManifestEntry entry{read(L"File", number), read(L"CFile", number), read(L"XYZ", number)};
        std::uint32_t crc = 0;
        if (!IsSafeRelativePath(entry.remotePath) || !IsSafeRelativePath(entry.localPath) ||
            !ParseCrc32Text(entry.crc32Hex, crc))
            return vorn::Failure{EntryMessage(n)};
        entry.crc32Hex = FormatCrc32(crc);
        parsed.push_back(std::move(entry));
        if (!seen.Insert(parsed.size() - 1))
            return vorn::Failure{L"客户端目标文件重复：" + parsed.back().localPath};
    }

    if (const std::size_t nested = FirstNestedEntry(parsed))
        return vorn::Failure{EntryMessage(nested)};

    // Every remote path must also stay a plain path under the folder the manifest was saved in.
    const vorn::Result<std::wstring> folder = FullPathOf(manifestPath);
    if (!folder)
        return vorn::Failure{kLocalPathMessage};
    UnderRootResolver resolver(ParentFolder(*folder));
    for (const ManifestEntry& entry : parsed) {
        if (!resolver.ResolveWithStatus(entry.remotePath))
            return vorn::Failure{kLocalPathMessage};
    }

    return parsed;
}
