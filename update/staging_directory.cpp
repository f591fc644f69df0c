#include "update/staging_directory.h"

#include <filesystem>
#include <stdexcept>

std::wstring StagingDirectoryName(DWORD processId, ULONGLONG tickCount, int attempt)
{
    return L".vorn-update-" + std::to_wstring(processId) + L"-" + std::to_wstring(tickCount) + L"-" +
           std::to_wstring(attempt);
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

StagingDirectoryGuard::~StagingDirectoryGuard()
{
    if (path_.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}
