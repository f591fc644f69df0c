#include "update/install_staged_file.h"

#include "base/paths.h"
#include "base/unique_resource.h"

#include <windows.h>

#include <filesystem>

namespace {

constexpr DWORD kMoveOverFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

std::wstring ReplaceFailedMessage(const std::filesystem::path& target, DWORD code)
{
    return L"无法替换文件：" + target.filename().wstring() + L"（错误码 " + std::to_wstring(code) +
           L"）。请退出游戏后重试，并检查目录写入权限。";
}

std::wstring FolderFailedMessage(const std::wstring& targetPath)
{
    std::error_code ignored;
    return L"无法创建目标目录：" + std::filesystem::absolute(targetPath, ignored).wstring();
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

bool InstallStagedFile(const std::wstring& stagedPath, const std::wstring& targetPath, std::wstring& error)
{
    if (!FlushStagedFile(stagedPath, targetPath, error))
        return false;
    if (!EnsureParentFolder(targetPath)) {
        error = FolderFailedMessage(targetPath);
        return false;
    }
    if (MoveFileExW(stagedPath.c_str(), targetPath.c_str(), kMoveOverFlags))
        return true;
    error = ReplaceFailedMessage(targetPath, GetLastError());
    return false;
}

InstallPass::InstallPass(std::vector<StagedMove> moves, std::wstring asideFolder)
    : moves_(std::move(moves)), asideFolder_(std::move(asideFolder))
{
}

InstallPass::~InstallPass()
{
    if (!committed_)
        Undo();
}

std::wstring InstallPass::AsidePath(std::size_t index) const
{
    return asideFolder_ + L"\\" + std::to_wstring(index);
}

bool InstallPass::CheckReplaceable(std::wstring& error)
{
    if (!CreateDirectoryW(asideFolder_.c_str(), nullptr)) {
        error = FolderFailedMessage(asideFolder_);
        return false;
    }
    exists_.assign(moves_.size(), false);
    for (std::size_t i = 0; i < moves_.size(); ++i) {
        const StagedMove& move = moves_[i];
        // The access a move over the file needs; a folder of that name does not open without backup semantics,
        // so it is refused here too.
        const UniqueFile target(CreateFileW(move.targetPath.c_str(), DELETE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        const DWORD code = target ? ERROR_SUCCESS : GetLastError();
        if (code != ERROR_SUCCESS && code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
            error = ReplaceFailedMessage(move.targetPath, code);
            return false;
        }
        exists_[i] = code == ERROR_SUCCESS;
    }
    return true;
}

// Makes the folders above the target that are missing, the outermost first, and notes them for Undo. A folder
// once seen or made is not asked about again: the files of one folder come one after another.
bool InstallPass::MakeFolders(const std::wstring& targetPath, Done& done)
{
    std::vector<std::wstring> missing;
    for (std::filesystem::path folder = std::filesystem::path(targetPath).parent_path();
         !folder.empty() && folder != folder.root_path() && !knownFolders_.contains(folder.wstring());
         folder = folder.parent_path()) {
        const DWORD attributes = GetFileAttributesW(folder.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return false;
        if (attributes != INVALID_FILE_ATTRIBUTES)
            break;
        missing.push_back(folder.wstring());
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (!CreateDirectoryW(it->c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        done.madeFolders.insert(done.madeFolders.begin(), *it);
    }
    knownFolders_.insert(std::filesystem::path(targetPath).parent_path().wstring());
    return true;
}

bool InstallPass::Move(std::size_t index, std::wstring& error)
{
    const StagedMove& move = moves_[index];
    Done& done = done_.emplace_back();
    done.index = index;
    if (exists_[index]) {
        if (!MoveFileExW(move.targetPath.c_str(), AsidePath(index).c_str(), MOVEFILE_WRITE_THROUGH)) {
            error = ReplaceFailedMessage(move.targetPath, GetLastError());
            return false;
        }
        done.replaced = true;
    } else if (!MakeFolders(move.targetPath, done)) {
        error = FolderFailedMessage(move.targetPath);
        return false;
    }
    if (!MoveFileExW(move.stagedPath.c_str(), move.targetPath.c_str(), kMoveOverFlags)) {
        error = ReplaceFailedMessage(move.targetPath, GetLastError());
        return false;
    }
    done.placed = true;
    return true;
}

// A step that cannot be undone (the game took the new file in the meantime) leaves that one file of the new
// release; the others still go back, and the next update finds it by its checksum.
void InstallPass::Undo()
{
    for (auto it = done_.rbegin(); it != done_.rend(); ++it) {
        const std::wstring& target = moves_[it->index].targetPath;
        if (it->replaced)
            MoveFileExW(AsidePath(it->index).c_str(), target.c_str(), kMoveOverFlags);
        else if (it->placed)
            DeleteFileW(target.c_str());
        for (const std::wstring& folder : it->madeFolders)
            RemoveDirectoryW(folder.c_str());
    }
    done_.clear();
}
