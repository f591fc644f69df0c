#include "update/staging_directory.h"

#include "base/unique_resource.h"
#include "update/install_staged_file.h"

#include <cwchar>
#include <filesystem>
#include <system_error>

namespace {

constexpr std::wstring_view kStagingPrefix = L".vorn-update-";

// A 64-bit tick count has 20 decimal digits; the process id and the attempt have fewer.
constexpr std::size_t kMaxNumberDigits = 20;

// Not a number, so no download (named by its entry's index) and not the manifest.
constexpr wchar_t kLockName[] = L"lock";

// Opens the folder's lock file shared with nobody, with the given creation disposition; the file goes with its
// handle. None when another process holds it, or the folder is gone or closed to this user.
UniqueFile TakeLock(const std::wstring& folder, DWORD disposition)
{
    return UniqueFile(CreateFileW((folder + L"\\" + kLockName).c_str(), GENERIC_READ | DELETE, 0, nullptr,
                                  disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
}

bool IsDots(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// Deletes a folder and everything in it without following links: a link inside (a junction, a symbolic link)
// loses only itself, never what it points to. Read-only files go too; a file held open stays, and so does the
// folder around it.
void RemoveTreeWithoutLinks(const std::wstring& folder)
{
    WIN32_FIND_DATAW item{};
    if (const UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &item)); find) {
        do {
            if (IsDots(item.cFileName))
                continue;
            const std::wstring path = folder + L"\\" + item.cFileName;
            const bool isFolder = (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (isFolder && (item.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                RemoveTreeWithoutLinks(path);
            } else if (isFolder) {
                RemoveDirectoryW(path.c_str());
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find.get(), &item));
    }
    RemoveDirectoryW(folder.c_str());
}

// Everything but the lock first, then the lock as its handle closes, then the folder: whoever looks in meanwhile
// finds the folder still locked.
void RemoveLockedFolder(StagingFolder& folder)
{
    RemoveTreeWithoutLinks(folder.path);
    folder.lock.reset();
    RemoveDirectoryW(folder.path.c_str());
}

}

std::wstring StagingDirectoryName(DWORD processId, ULONGLONG tickCount, int attempt)
{
    return std::wstring(kStagingPrefix) + std::to_wstring(processId) + L"-" + std::to_wstring(tickCount) + L"-" +
           std::to_wstring(attempt);
}

bool HasStagingPrefix(std::wstring_view name)
{
    return name.size() >= kStagingPrefix.size() &&
           _wcsnicmp(name.data(), kStagingPrefix.data(), kStagingPrefix.size()) == 0;
}

bool IsStagingDirectoryName(std::wstring_view name)
{
    if (!name.starts_with(kStagingPrefix))
        return false;
    name.remove_prefix(kStagingPrefix.size());
    for (int number = 0; number < 3; ++number) {
        std::size_t digits = 0;
        while (digits < name.size() && name[digits] >= L'0' && name[digits] <= L'9')
            ++digits;
        if (digits == 0 || digits > kMaxNumberDigits)
            return false;
        name.remove_prefix(digits);
        if (number < 2) {
            if (name.empty() || name.front() != L'-')
                return false;
            name.remove_prefix(1);
        }
    }
    return name.empty();
}

std::wstring FolderFailureMessage(const std::wstring& folder, DWORD code)
{
    if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL)
        return L"磁盘空间不足：无法在 " + folder + L" 中创建更新的临时目录。请清理磁盘后重试。";
    if (code == ERROR_ACCESS_DENIED || code == ERROR_WRITE_PROTECT)
        return L"没有写入客户端目录的权限：" + folder + L"。请检查客户端目录写入权限，或以有权限的用户运行登录器。";
    return vorn::kGeneralFailureMessage;
}

vorn::Result<StagingFolder> CreateStagingDirectory(const std::wstring& parent)
{
    std::error_code made;
    std::filesystem::create_directories(parent, made);
    if (made) {
        const DWORD code = made == std::errc::no_space_on_device  ? ERROR_DISK_FULL
                           : made == std::errc::permission_denied ? ERROR_ACCESS_DENIED
                                                                  : ERROR_GEN_FAILURE;
        return vorn::Failure{FolderFailureMessage(parent, code)};
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        StagingFolder folder;
        folder.path =
            (std::filesystem::path(parent) / StagingDirectoryName(GetCurrentProcessId(), GetTickCount64(), attempt))
                .wstring();
        if (!CreateDirectoryW(folder.path.c_str(), nullptr)) {
            const DWORD code = GetLastError();
            if (code != ERROR_ALREADY_EXISTS)
                return vorn::Failure{FolderFailureMessage(parent, code)};
            continue;
        }
        // Another launcher's start-up may take the lock of the new, still unlocked folder first and remove it;
        // the next name is as good.
        folder.lock = TakeLock(folder.path, CREATE_NEW);
        if (folder.lock)
            return folder;
    }
    return vorn::Failure{vorn::kGeneralFailureMessage};
}

void RemoveLeftoverStagingDirectories(const std::wstring& parent)
{
    const std::wstring folder = parent.ends_with(L'\\') ? parent.substr(0, parent.size() - 1) : parent;
    WIN32_FIND_DATAW item{};
    const UniqueFind find(FindFirstFileW((folder + L"\\" + std::wstring(kStagingPrefix) + L"*").c_str(), &item));
    if (!find)
        return;
    do {
        const DWORD attributes = item.dwFileAttributes;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
            !IsStagingDirectoryName(item.cFileName))
            continue;
        StagingFolder leftover;
        leftover.path = folder + L"\\" + item.cFileName;
        leftover.lock = TakeLock(leftover.path, OPEN_ALWAYS);
        if (!leftover.lock)
            continue;
        RestoreInterruptedInstall(leftover.path, folder);
        RemoveLockedFolder(leftover);
    } while (FindNextFileW(find.get(), &item));
}

StagingDirectoryGuard::~StagingDirectoryGuard()
{
    if (!folder_.path.empty())
        RemoveLockedFolder(folder_);
}
