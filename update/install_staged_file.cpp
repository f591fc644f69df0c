#include "update/install_staged_file.h"

#include "base/paths.h"
#include "base/text.h"
#include "base/unique_resource.h"
#include "update/ini_file.h"
#include "update/path_rules.h"

#include <windows.h>

#include <filesystem>
#include <optional>

namespace {

constexpr DWORD kMoveOverFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

// Inside the staging folder: the replaced files, each under its move's index, and the journal of the moves, one
// line each: "<index>\t<1: the target existed, else 0>\t<staged path>\t<target path>\n" in UTF-8 (no path holds a
// control character).
constexpr wchar_t kReplacedFolder[] = L"replaced";
constexpr wchar_t kJournalName[] = L"journal";

std::wstring AsideFolderOf(const std::wstring& stagingFolder)
{
    return stagingFolder + L"\\" + kReplacedFolder;
}

std::wstring JournalOf(const std::wstring& stagingFolder)
{
    return AsideFolderOf(stagingFolder) + L"\\" + kJournalName;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsInside(const std::wstring& path, const std::wstring& folder)
{
    return path.size() > folder.size() + 1 && _wcsnicmp(path.c_str(), folder.c_str(), folder.size()) == 0 &&
           path[folder.size()] == L'\\';
}

struct JournalLine {
    std::wstring index;
    bool existed = false;
    std::wstring staged;
    std::wstring target;
};

// One line of the journal without its line feed; none for a line of another form.
std::optional<JournalLine> ParseJournalLine(const std::wstring& line)
{
    const std::size_t first = line.find(L'\t');
    if (first == 0 || first == std::wstring::npos || line.find_first_not_of(L"0123456789") != first ||
        line.size() < first + 3 || (line[first + 1] != L'0' && line[first + 1] != L'1') || line[first + 2] != L'\t')
        return std::nullopt;
    const std::size_t third = line.find(L'\t', first + 3);
    if (third == std::wstring::npos)
        return std::nullopt;
    return JournalLine{line.substr(0, first), line[first + 1] == L'1', line.substr(first + 3, third - first - 3),
                       line.substr(third + 1)};
}

// Whether a journal's target is a client file as the update would name it: inside the root, no link on the way.
bool IsClientPath(const std::wstring& target, const std::wstring& clientRoot)
{
    if (!IsInside(target, clientRoot))
        return false;
    const vorn::Result<std::wstring> resolved = ResolveUnderRoot(clientRoot, target.substr(clientRoot.size() + 1));
    return resolved && _wcsicmp(resolved->c_str(), target.c_str()) == 0;
}

vorn::Failure ReplaceFailed(const std::filesystem::path& target, DWORD code)
{
    return {L"无法替换文件：" + target.filename().wstring() + L"（错误码 " + std::to_wstring(code) +
            L"）。请退出游戏后重试，并检查目录写入权限。"};
}

vorn::Failure FolderFailed(const std::wstring& targetPath)
{
    std::error_code ignored;
    return {L"无法创建目标目录：" + std::filesystem::absolute(targetPath, ignored).wstring()};
}

}

// MOVEFILE_WRITE_THROUGH does not flush the data of a file that is not copied, hence the flush of its own.
vorn::Status FlushStagedFile(const std::wstring& stagedPath, const std::wstring& targetPath)
{
    const UniqueFile file(CreateFileW(stagedPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file && FlushFileBuffers(file.get()))
        return {};
    return ReplaceFailed(targetPath, GetLastError());
}

vorn::Status InstallStagedFile(const std::wstring& stagedPath, const std::wstring& targetPath)
{
    if (vorn::Status flushed = FlushStagedFile(stagedPath, targetPath); !flushed)
        return flushed;
    if (!EnsureParentFolder(targetPath))
        return FolderFailed(targetPath);
    if (MoveFileExW(stagedPath.c_str(), targetPath.c_str(), kMoveOverFlags))
        return {};
    return ReplaceFailed(targetPath, GetLastError());
}

InstallPass::InstallPass(std::vector<StagedMove> moves, const std::wstring& stagingFolder)
    : moves_(std::move(moves)), asideFolder_(AsideFolderOf(stagingFolder))
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

vorn::Status InstallPass::CheckReplaceable()
{
    if (!CreateDirectoryW(asideFolder_.c_str(), nullptr))
        return FolderFailed(asideFolder_);
    exists_.assign(moves_.size(), false);
    for (std::size_t i = 0; i < moves_.size(); ++i) {
        const StagedMove& move = moves_[i];
        // The access a move over the file needs; a folder of that name does not open without backup semantics,
        // so it is refused here too.
        const UniqueFile target(CreateFileW(move.targetPath.c_str(), DELETE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        const DWORD code = target ? ERROR_SUCCESS : GetLastError();
        if (code != ERROR_SUCCESS && code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND)
            return ReplaceFailed(move.targetPath, code);
        exists_[i] = code == ERROR_SUCCESS;
    }
    if (!WriteJournal())
        return FolderFailed(asideFolder_);
    return {};
}

bool InstallPass::WriteJournal() const
{
    std::string text;
    for (std::size_t i = 0; i < moves_.size(); ++i) {
        text += std::to_string(i) + (exists_[i] ? "\t1\t" : "\t0\t") + WideToUtf8(moves_[i].stagedPath) + "\t" +
                WideToUtf8(moves_[i].targetPath) + "\n";
    }
    const std::wstring path = asideFolder_ + L"\\" + kJournalName;
    const UniqueFile file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && text.size() <= MAXDWORD &&
           WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size() && FlushFileBuffers(file.get());
}

void InstallPass::Commit()
{
    DeleteFileW((asideFolder_ + L"\\" + kJournalName).c_str());
    committed_ = true;
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

vorn::Status InstallPass::Move(std::size_t index)
{
    const StagedMove& move = moves_[index];
    Done& done = done_.emplace_back();
    done.index = index;
    if (exists_[index]) {
        if (!MoveFileExW(move.targetPath.c_str(), AsidePath(index).c_str(), MOVEFILE_WRITE_THROUGH))
            return ReplaceFailed(move.targetPath, GetLastError());
        done.replaced = true;
    } else if (!MakeFolders(move.targetPath, done)) {
        return FolderFailed(move.targetPath);
    }
    if (!MoveFileExW(move.stagedPath.c_str(), move.targetPath.c_str(), kMoveOverFlags))
        return ReplaceFailed(move.targetPath, GetLastError());
    done.placed = true;
    return {};
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

void RestoreInterruptedInstall(const std::wstring& stagingFolder, const std::wstring& clientRoot)
{
    std::string journal;
    if (!ReadWholeFile(JournalOf(stagingFolder), journal))
        return;
    std::vector<JournalLine> lines;
    std::size_t start = 0;
    for (std::size_t end = journal.find('\n'); end != std::string::npos; end = journal.find('\n', start)) {
        if (std::optional<JournalLine> line = ParseJournalLine(Utf8ToWide(journal.substr(start, end - start))))
            lines.push_back(std::move(*line));
        start = end + 1;
    }
    // The last move first, as the pass itself undoes them.
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (!IsInside(it->staged, stagingFolder) || !IsClientPath(it->target, clientRoot))
            continue;
        const std::wstring aside = AsideFolderOf(stagingFolder) + L"\\" + it->index;
        if (it->existed && Exists(aside))
            MoveFileExW(aside.c_str(), it->target.c_str(), kMoveOverFlags);
        else if (!it->existed && !Exists(it->staged))
            DeleteFileW(it->target.c_str());
    }
}
