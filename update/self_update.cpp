#include "update/self_update.h"

#include "base/paths.h"
#include "base/unique_resource.h"

#include <shellapi.h>

#include <cerrno>
#include <cwchar>

namespace {

constexpr DWORD kOldLauncherWaitMs = 60000;
constexpr int kCopyAttempts = 100;
constexpr DWORD kCopyRetryMs = 100;

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

bool RestartForSelfUpdate()
{
    const std::wstring exe = GetExecutablePath();
    const std::wstring staged = exe + L".new";
    if (!IsRegularFile(staged))
        return false;
    std::wstring commandLine = BuildSelfUpdateCommandLine(staged, exe, GetCurrentProcessId());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(staged.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        ClientRoot().c_str(), &startup, &info))
        return false;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return true;
}

int CompleteSelfUpdate(const std::wstring& targetPath, const std::wstring& processId)
{
    if (const DWORD pid = ParseProcessId(processId)) {
        UniqueHandle oldLauncher(OpenProcess(SYNCHRONIZE, FALSE, pid));
        if (oldLauncher)
            WaitForSingleObject(oldLauncher.get(), kOldLauncherWaitMs);
    }

    const std::wstring self = GetExecutablePath();
    bool copied = false;
    for (int attempt = 0; attempt < kCopyAttempts && !copied; ++attempt) {
        copied = CopyFileW(self.c_str(), targetPath.c_str(), FALSE) != FALSE;
        if (!copied)
            Sleep(kCopyRetryMs);
    }
    if (!copied)
        return 2;

    const std::wstring folder = ClientRootFromExecutablePath(targetPath);
    ShellExecuteW(nullptr, L"open", targetPath.c_str(), nullptr, folder.c_str(), SW_SHOWNORMAL);
    MoveFileExW(self.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return 0;
}
