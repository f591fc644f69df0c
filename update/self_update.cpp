#include "update/self_update.h"

#include "base/paths.h"
#include "base/unique_resource.h"
#include "update/install_staged_file.h"
#include "update/update_types.h"

#include <shellapi.h>

#include <cerrno>
#include <cwchar>

namespace {

constexpr DWORD kOldLauncherWaitMs = 60000;
// The old launcher's file can stay locked for a moment after its process ended (the system, a scanner): the
// replacing move is tried this often, this far apart, before the update gives up.
constexpr int kReplaceAttempts = 100;
constexpr DWORD kReplaceRetryMs = 100;

// Beside the target, so that the final move stays on one volume and replaces the old file in one step.
constexpr wchar_t kTemporarySuffix[] = L".partial";

constexpr wchar_t kOldLauncherRestarted[] = L"\n\n已重新启动原来的登录器，下次更新时会再次尝试。";

bool IsRegularFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}

std::wstring BuildSelfUpdateCommandLine(const std::wstring& stagedPath, const std::wstring& runningPath,
                                        DWORD processId)
{
    return L"\"" + stagedPath + L"\" --apply-update \"" + runningPath + L"\" " + std::to_wstring(processId);
}

DWORD ParseProcessId(const std::wstring& text)
{
    const wchar_t* begin = text.c_str();
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long value = std::wcstoul(begin, &end, 10);
    if (end == begin || errno == ERANGE)
        return 0;
    return static_cast<DWORD>(value);
}

bool RestartForSelfUpdate(const std::wstring& clientRoot)
{
    const std::wstring exe = GetExecutablePath();
    const std::wstring staged = vorn::StagedLauncherPath(exe);
    if (!IsRegularFile(staged))
        return false;
    std::wstring commandLine = BuildSelfUpdateCommandLine(staged, exe, GetCurrentProcessId());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(staged.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        clientRoot.c_str(), &startup, &info))
        return false;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return true;
}

void RemoveSelfUpdateLeftovers()
{
    const std::wstring exe = GetExecutablePath();
    DeleteFileW(vorn::StagedLauncherPath(exe).c_str());
    DeleteFileW((exe + kTemporarySuffix).c_str());
}

SelfUpdateOutcome CompleteSelfUpdate(const std::wstring& targetPath, const std::wstring& processId)
{
    if (const DWORD pid = ParseProcessId(processId)) {
        UniqueHandle oldLauncher(OpenProcess(SYNCHRONIZE, FALSE, pid));
        if (oldLauncher)
            WaitForSingleObject(oldLauncher.get(), kOldLauncherWaitMs);
    }

    // The new launcher is written whole and flushed beside the old one before the old one is touched: a copy
    // that breaks off (a full disk, a crash, a power cut) leaves the old launcher as it was.
    const std::wstring temporary = targetPath + kTemporarySuffix;
    std::wstring error;
    bool replaced = false;
    if (CopyFileW(GetExecutablePath().c_str(), temporary.c_str(), FALSE)) {
        for (int attempt = 0; attempt < kReplaceAttempts && !replaced; ++attempt) {
            const vorn::Status installed = InstallStagedFile(temporary, targetPath);
            replaced = installed.ok();
            error = installed.message();
            if (!replaced)
                Sleep(kReplaceRetryMs);
        }
    } else {
        error = L"无法写入新的登录器（错误码 " + std::to_wstring(GetLastError()) + L"）。";
    }

    const std::wstring folder = ClientRootFromExecutablePath(targetPath);
    const bool started = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", targetPath.c_str(), nullptr,
                                                                 folder.c_str(), SW_SHOWNORMAL)) > 32;
    if (!replaced) {
        DeleteFileW(temporary.c_str());
        return {2, L"登录器更新失败：" + error + (started ? kOldLauncherRestarted : L"")};
    }
    // The staged file itself goes when the new launcher starts; this is only the fallback for a file in use.
    if (started)
        MoveFileExW(GetExecutablePath().c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return {0, {}};
}
