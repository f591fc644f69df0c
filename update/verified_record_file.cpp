#include "update/verified_record_file.h"

#include "base/unique_resource.h"
#include "update/client_listing.h"
#include "update/replace_file.h"

#include <windows.h>

namespace {

std::wstring RecordPath(const std::wstring& root)
{
    std::wstring path = root;
    if (!path.empty() && path.back() != L'\\')
        path += L'\\';
    return path + kVerifiedRecordFileName;
}

// The whole file when it is no larger than the cap; a larger one is not read at all.
std::optional<std::string> ReadRecordBytes(const std::wstring& path)
{
    // Another launcher may replace the record while this one reads it: the read keeps the file it opened.
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<std::uint64_t>(size.QuadPart) > kMaxVerifiedRecordBytes)
        return std::nullopt;
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) || read != bytes.size()))
        return std::nullopt;
    return bytes;
}

}

VerifiedFilesAtStart LoadVerifiedFiles(const std::wstring& root, std::wstring_view launcher)
{
    VerifiedFilesAtStart start;
    std::optional<FolderIdentity> folder = IdentifyClientFolder(root);
    // The clock is read before the record: a record made later than this moment is doubtful.
    const std::optional<std::int64_t> now = folder ? FolderClockNow(root) : std::nullopt;
    if (!now)
        return start;
    start.folder = std::move(folder);
    start.moment = *now;
    if (const std::optional<std::string> bytes = ReadRecordBytes(RecordPath(root))) {
        if (std::optional<VerifiedRecord> record = ParseVerifiedRecord(*bytes, launcher, *start.folder, *now))
            start.remembered = VerifiedFiles(std::move(*record));
    }
    return start;
}

bool SaveVerifiedFiles(const std::wstring& root, const VerifiedRecord& record)
{
    const std::optional<std::string> bytes = SerializeVerifiedRecord(record);
    return bytes && ReplaceFileBytes(RecordPath(root), *bytes);
}
