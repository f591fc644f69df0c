#include "update/install_staged_file.h"

#include "base/paths.h"
#include "base/unique_resource.h"

#include <windows.h>

#include <filesystem>

namespace {

std::wstring ReplaceFailedMessage(const std::filesystem::path& target, DWORD code)
{
    return L"无法替换文件：" + target.filename().wstring() + L"（错误码 " + std::to_wstring(code) +
           L"）。请退出游戏后重试，并检查目录写入权限。";
}

}

// MOVEFILE_WRITE_THROUGH does not flush the data of a file that is not copied, hence the flush of its own.
bool FlushStagedFile(const std::wstring& stagedPath, const std::wstring& targetPath, std::wstring& error)
{
    const UniqueFile file(CreateFileW(stagedPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file && FlushFileBuffers(file.get()))
        return true;
    error = ReplaceFailedMessage(targetPath, GetLastError());
    return false;
}

bool MoveStagedFile(const std::wstring& stagedPath, const std::wstring& targetPath, std::wstring& error)
{
    const std::filesystem::path target(targetPath);
    if (!EnsureParentFolder(targetPath)) {
        std::error_code ignored;
        error = L"无法创建目标目录：" + std::filesystem::absolute(target, ignored).wstring();
        return false;
    }
    if (MoveFileExW(stagedPath.c_str(), targetPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    error = ReplaceFailedMessage(target, GetLastError());
    return false;
}

bool InstallStagedFile(const std::wstring& stagedPath, const std::wstring& targetPath, std::wstring& error)
{
    return FlushStagedFile(stagedPath, targetPath, error) && MoveStagedFile(stagedPath, targetPath, error);
}
