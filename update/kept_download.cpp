#include "update/kept_download.h"

#include "base/text.h"
#include "base/unique_resource.h"
#include "update/crc32.h"
#include "update/crc32_compute.h"

#include <windows.h>

#include <algorithm>
#include <charconv>

namespace {

constexpr wchar_t kKeptFolderName[] = L".vorn-kept";
constexpr wchar_t kRecordSuffix[] = L".held";
constexpr std::uint64_t kFileTimeUnitsPerHour = 36000000000ull;

}

std::wstring KeptFolder(const std::wstring& root)
{
    return root + L"\\" + kKeptFolderName;
}

bool IsKeptFolderName(std::wstring_view name)
{
    return name.size() == std::size(kKeptFolderName) - 1 &&
           _wcsnicmp(name.data(), kKeptFolderName, std::size(kKeptFolderName) - 1) == 0;
}

std::wstring KeptPath(const std::wstring& folder, const std::wstring& url)
{
    // A name, not a check: two addresses of one name would only find a record whose validator the site refuses.
    const std::string bytes = WideToUtf8(url);
    return folder + L"\\" + FormatCrc32(Crc32(0, bytes.data(), bytes.size())) + L"-" + std::to_wstring(bytes.size());
}

std::wstring HeldRecordPath(const std::wstring& keptPath)
{
    return keptPath + kRecordSuffix;
}

std::optional<HeldRecord> ParseHeldRecord(std::string_view text)
{
    HeldRecord record;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), record.length);
    if (error != std::errc{} || end == text.data() + text.size() || *end != ' ')
        return std::nullopt;
    const std::string_view validator = text.substr(static_cast<std::size_t>(end - text.data()) + 1);
    if (validator.empty() || std::any_of(validator.begin(), validator.end(),
                                         [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
        return std::nullopt;
    record.validator = Utf8ToWide(validator);
    return record;
}

std::string FormatHeldRecord(const HeldRecord& record)
{
    return std::to_string(record.length) + " " + WideToUtf8(record.validator);
}

void RemoveKept(const std::wstring& keptPath)
{
    DeleteFileW(keptPath.c_str());
    DeleteFileW(HeldRecordPath(keptPath).c_str());
}

std::vector<std::wstring> KeptToDrop(std::vector<KeptFile> files, std::uint64_t now)
{
    const std::uint64_t maxAge = static_cast<std::uint64_t>(kKeptMaxAge.count()) * kFileTimeUnitsPerHour;
    std::sort(files.begin(), files.end(), [](const KeptFile& a, const KeptFile& b) { return a.written > b.written; });
    std::vector<std::wstring> drop;
    std::uint64_t kept = 0;
    for (const KeptFile& file : files) {
        const bool old = file.written < now && now - file.written > maxAge;
        if (old || kept + file.size > kKeptCapBytes) {
            drop.push_back(file.name);
            continue;
        }
        kept += file.size;
    }
    return drop;
}

void PruneKeptDownloads(const std::wstring& root)
{
    const std::wstring folder = KeptFolder(root);
    WIN32_FIND_DATAW item{};
    std::vector<KeptFile> files;
    std::vector<std::wstring> records;
    {
        const UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &item));
        if (!find)
            return;
        do {
            const std::wstring name = item.cFileName;
            if ((item.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
                continue;
            if (name.ends_with(kRecordSuffix)) {
                records.push_back(name);
                continue;
            }
            files.push_back(KeptFile{name, (std::uint64_t{item.nFileSizeHigh} << 32) | item.nFileSizeLow,
                                     (std::uint64_t{item.ftLastWriteTime.dwHighDateTime} << 32) |
                                         item.ftLastWriteTime.dwLowDateTime});
        } while (FindNextFileW(find.get(), &item));
    }
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    for (const std::wstring& name : KeptToDrop(files, (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime))
        RemoveKept(folder + L"\\" + name);
    for (const std::wstring& record : records) {
        const std::wstring file = folder + L"\\" + record.substr(0, record.size() - std::size(kRecordSuffix) + 1);
        if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES)
            DeleteFileW((folder + L"\\" + record).c_str());
    }
}
