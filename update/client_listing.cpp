#include "update/client_listing.h"

#include "base/text.h"
#include "base/unique_resource.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cwctype>
#include <unordered_map>

namespace {

// One request to the file system returns as many entries as fit: about 500 names of 20 characters.
constexpr DWORD kListingBufferBytes = 64 * 1024;

std::wstring Join(const std::wstring& folder, std::wstring_view name)
{
    std::wstring path = folder;
    if (!path.empty() && path.back() != L'\\')
        path += L'\\';
    return path.append(name);
}

// What a folder's listing found under one upper-cased name.
struct Found {
    FileStamp stamp;
    bool plainFile = false;
    unsigned names = 0;  // entries that carry this name but for letter case
};

// Lists a folder once, filling in the entries whose upper-cased names `wanted` holds. False when a folder under
// the root is a link, or the folder cannot be opened or the listing stops before its end: then nothing of it may
// be trusted. The root is taken as given, as the update takes it.
bool ListFolder(const std::wstring& folder, bool isRoot, std::unordered_map<std::wstring, Found>& wanted)
{
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (isRoot ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    const UniqueFile handle(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        flags, nullptr));
    // Only the attributes: GetFileInformationByHandle would also ask for the volume's serial number, which costs
    // as much as the folder's whole listing under Wine.
    FILE_BASIC_INFO information{};
    if (!handle || !GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &information, sizeof(information)) ||
        (information.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (information.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return false;
    std::vector<LONGLONG> buffer(kListingBufferBytes / sizeof(LONGLONG));  // the entries need 8-byte alignment
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    std::wstring upper;
    for (;;) {
        if (!GetFileInformationByHandleEx(handle.get(), FileIdBothDirectoryInfo, buffer.data(), kListingBufferBytes))
            return GetLastError() == ERROR_NO_MORE_FILES;
        for (std::size_t offset = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes + offset);
            if (offset + sizeof(FILE_ID_BOTH_DIR_INFO) > kListingBufferBytes ||
                offset + offsetof(FILE_ID_BOTH_DIR_INFO, FileName) + entry->FileNameLength > kListingBufferBytes)
                return false;
            upper.assign(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            for (wchar_t& c : upper)
                c = static_cast<wchar_t>(std::towupper(c));
            const auto found = wanted.find(upper);
            if (found != wanted.end()) {
                Found& file = found->second;
                ++file.names;
                file.plainFile =
                    (entry->FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
                file.stamp = {static_cast<std::uint64_t>(entry->EndOfFile.QuadPart), entry->LastWriteTime.QuadPart,
                              entry->ChangeTime.QuadPart, static_cast<std::uint64_t>(entry->FileId.QuadPart)};
            }
            if (entry->NextEntryOffset == 0)
                break;
            offset += entry->NextEntryOffset;
        }
    }
}

}

std::vector<std::optional<FileStamp>> ListClientFiles(const std::wstring& root,
                                                      const std::vector<std::wstring>& localPaths)
{
    // The paths by folder, so that each folder is listed once however its files are spread over the manifest.
    struct Folder {
        std::wstring relative;           // as the first path that names it spells it
        std::vector<std::size_t> paths;  // indexes into localPaths
    };
    std::unordered_map<std::wstring, Folder> folders;
    for (std::size_t i = 0; i < localPaths.size(); ++i) {
        const std::wstring& path = localPaths[i];
        const std::size_t split = path.rfind(L'\\');
        const std::wstring relative = split == std::wstring::npos ? std::wstring() : path.substr(0, split);
        Folder& folder = folders[UpperWide(relative)];
        if (folder.paths.empty())
            folder.relative = relative;
        folder.paths.push_back(i);
    }

    std::vector<std::optional<FileStamp>> stamps(localPaths.size());
    std::unordered_map<std::wstring, Found> wanted;
    for (const auto& [key, folder] : folders) {
        wanted.clear();
        const std::size_t nameStart = folder.relative.empty() ? 0 : folder.relative.size() + 1;
        const auto nameOf = [&](std::size_t i) {
            return UpperWide(std::wstring_view(localPaths[i]).substr(nameStart));
        };
        for (const std::size_t i : folder.paths)
            wanted.emplace(nameOf(i), Found{});
        const bool isRoot = folder.relative.empty();
        if (!ListFolder(isRoot ? root : Join(root, folder.relative), isRoot, wanted))
            continue;
        for (const std::size_t i : folder.paths) {
            const Found& found = wanted.at(nameOf(i));
            if (found.names == 1 && found.plainFile)
                stamps[i] = found.stamp;
        }
    }
    return stamps;
}

std::optional<FolderIdentity> IdentifyClientFolder(const std::wstring& root)
{
    const UniqueFile folder(CreateFileW(root.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    wchar_t fileSystem[MAX_PATH + 1] = {};
    if (!folder || !GetFileInformationByHandle(folder.get(), &information) ||
        !GetVolumeInformationByHandleW(folder.get(), nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
                                       MAX_PATH + 1) ||
        _wcsicmp(fileSystem, L"NTFS") != 0)
        return std::nullopt;
    return FolderIdentity{root, information.dwVolumeSerialNumber,
                          (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
}

std::optional<std::int64_t> FolderClockNow(const std::wstring& folder)
{
    // A name of this thread's own, and a file that goes when its handle closes, also when the process dies. Its
    // last-write and change times are read: NTFS gives a new file the creation time of a file of the same name
    // deleted shortly before, never those two.
    const std::wstring path = Join(folder, kFolderClockPrefix + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                               std::to_wstring(GetCurrentThreadId()));
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | DELETE, 0, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    FILE_BASIC_INFO basic{};
    if (!file || !GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof(basic)))
        return std::nullopt;
    return std::max(basic.LastWriteTime.QuadPart, basic.ChangeTime.QuadPart);
}
