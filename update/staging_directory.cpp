#include "update/staging_directory.h"

#include "base/unique_resource.h"

#include <filesystem>
#include <stdexcept>

namespace {

constexpr std::wstring_view kStagingPrefix = L".vorn-update-";

// A 64-bit tick count has 20 decimal digits; the process id and the attempt have fewer.
constexpr std::size_t kMaxNumberDigits = 20;

bool IsDots(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// Deletes a folder and everything in it without following links: a link inside (a junction, a symbolic link)
// loses only itself, never what it points to. Read-only files go too.
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

}

std::wstring StagingDirectoryName(DWORD processId, ULONGLONG tickCount, int attempt)
{
    return std::wstring(kStagingPrefix) + std::to_wstring(processId) + L"-" + std::to_wstring(tickCount) + L"-" +
           std::to_wstring(attempt);
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

std::wstring CreateStagingDirectory(const std::wstring& parent)
{
    std::filesystem::create_directories(parent);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring path =
            (std::filesystem::path(parent) / StagingDirectoryName(GetCurrentProcessId(), GetTickCount64(), attempt))
                .wstring();
        if (CreateDirectoryW(path.c_str(), nullptr))
            return path;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    throw std::runtime_error("cannot create update staging directory");
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
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
            IsStagingDirectoryName(item.cFileName))
            RemoveTreeWithoutLinks(folder + L"\\" + item.cFileName);
    } while (FindNextFileW(find.get(), &item));
}

StagingDirectoryGuard::~StagingDirectoryGuard()
{
    if (!path_.empty())
        RemoveTreeWithoutLinks(path_);
}
