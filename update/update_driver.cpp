#include "update/update_driver.h"

#include "base/config.h"
#include "base/message_box.h"
#include "base/paths.h"
#include "ui/controls.h"
#include "ui/shared_state.h"
#include "update/update_transaction.h"

#include <memory>
#include <system_error>

namespace {

void EnableIfPresent(HWND control, bool enable)
{
    if (control != nullptr)
        EnableWindow(control, enable ? TRUE : FALSE);
}

std::wstring Counted(const wchar_t* text, const vorn::UpdateProgress& progress)
{
    return std::wstring(text) + L"（" + std::to_wstring(progress.current) + L"/" + std::to_wstring(progress.total) +
           L"）";
}

// The thread could not be started: give the slot back so the player can try again instead of a window that
// stays busy for ever.
void RecoverFromThreadFailure()
{
    updateRunning = false;
    updateFailed = true;
    busy.store(false);
    EnableIfPresent(downloadButton, true);
    EnableIfPresent(enterGameButton, HasValidSelection());
    statusText = L"无法启动更新，请稍后重试。";
    RefreshUpdateLabel();
    InvalidateRect(mainWindow, nullptr, FALSE);
    if (showUpdateErrors)
        ShowMessageBox(mainWindow, statusText, L"更新失败", MB_OK | MB_ICONERROR);
}

}

void CheckUpdatesAsync(bool showErrors)
{
    if (busy.exchange(true))
        return;
    autoUpdatePending = false;
    busy.store(true);

    EnableIfPresent(downloadButton, false);
    EnableIfPresent(enterGameButton, false);
    InvalidateRect(mainWindow, nullptr, FALSE);

    showUpdateErrors = showErrors;
    progressPercent = 0;
    updateFailed = false;
    updateRunning = true;
    cancelRequested.store(false);
    uiProgress = vorn::UpdateProgress{};

    if (announcementView != nullptr)
        MoveWindow(announcementView, 265, 101, 510, 196, TRUE);
    if (updateLabel != nullptr)
        SetWindowPos(updateLabel, nullptr, 272, 304, 494, 54, SWP_SHOWWINDOW);

    RefreshUpdateLabel();
    InvalidateRect(mainWindow, nullptr, FALSE);
    PostStatusText(L"正在下载更新清单...");

    if (updateThread.joinable())
        updateThread.join();
    try {
        updateThread = std::thread(RunUpdateThread);
    } catch (const std::system_error&) {
        RecoverFromThreadFailure();
    }
}

void RunUpdateThread()
{
    const LauncherConfig& config = Config();
    auto result = std::make_unique<vorn::UpdateResult>(vorn::ApplyClientUpdate(
        config.updateBaseUrl, config.manifestName, ClientRoot(), GetExecutablePath(),
        [](const std::wstring& text) { PostStatusText(text); }, nullptr, IsUpdateCancelled, OnUpdateProgress,
        config.updatePublicKey));
    PostToMainWindow(WM_APP_UPDATE_FINISHED, 0, std::move(result));
}

bool IsUpdateCancelled()
{
    return windowClosing.load() || cancelRequested.load();
}

void OnUpdateProgress(const vorn::UpdateProgress& progress)
{
    std::lock_guard lock(progressMutex);
    sharedProgress = progress;
    if (!windowClosing.load() && !progressPending)
        progressPending = PostMessageW(mainWindow, WM_APP_PROGRESS_CHANGED, 0, 0) != FALSE;
}

std::wstring UpdateStatusText(const vorn::UpdateProgress& progress, bool closing, bool failed)
{
    if (closing)
        return L"正在取消更新，请稍候…";
    if (failed)
        return L"更新失败，点击此处重试";
    switch (progress.stage) {
    case 0:
        return L"正在读取客户端更新清单…";
    case 5:
        return progress.total == 0 ? L"客户端已是最新版本" : L"客户端文件更新完成";
    case 1:
        return Counted(L"检查客户端文件", progress);
    case 4:
        return Counted(L"安装客户端文件", progress);
    default:
        return Counted(L"升级客户端文件", progress);
    }
}

std::wstring UpdateLabelText(const std::wstring& stateText, const vorn::UpdateProgress& progress)
{
    return stateText + L"，更新 " + std::to_wstring(progress.filePercent) + L"%，进度 " +
           std::to_wstring(progress.overallPercent) + L"%";
}

std::wstring BuildUpdateStatusText()
{
    return UpdateStatusText(uiProgress, closePending, updateFailed);
}

void RefreshUpdateLabel()
{
    if (updateLabel == nullptr)
        return;
    SetWindowTextW(updateLabel, UpdateLabelText(BuildUpdateStatusText(), uiProgress).c_str());
    InvalidateRect(updateLabel, nullptr, FALSE);
}
