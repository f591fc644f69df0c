#include "ui/update_job.h"

#include "base/message_box.h"
#include "ui/main_window.h"
#include "ui/jobs.h"
#include "ui/layout.h"
#include "ui/shared_state.h"
#include "update/self_update.h"
#include "update/update_driver.h"

#include <memory>

namespace {

void RunUpdateAndPost()
{
    auto result = std::make_unique<vorn::UpdateResult>(RunConfiguredUpdate(
        [](const std::wstring& text) { PostStatusText(text); }, IsUpdateCancelled, OnUpdateProgress));
    PostToMainWindow(WM_APP_UPDATE_FINISHED, 0, std::move(result));
}

// The thread could not be started: give the slot back so the player can try again instead of a window that
// stays busy for ever.
void RecoverFromThreadFailure()
{
    updateRunning = false;
    updateFailed = true;
    ReleaseJobSlot();
    statusText = L"无法启动更新，请稍后重试。";
    RefreshUpdateLabel();
    InvalidateRect(mainWindow, nullptr, FALSE);
    if (showUpdateErrors)
        ShowMessageBox(mainWindow, statusText, L"更新失败", MB_OK | MB_ICONERROR);
}

void OfferRestart()
{
    if (ShowMessageBox(mainWindow, L"登录器已更新，需要立即重新启动。", L"重新启动登录器",
                       MB_OKCANCEL | MB_ICONINFORMATION) != IDOK)
        return;
    if (RestartForSelfUpdate())
        DestroyWindow(mainWindow);
    else
        ShowMessageBox(mainWindow, L"无法启动登录器更新程序。", L"重新启动失败", MB_OK | MB_ICONERROR);
}

}

void CheckUpdatesAsync(bool showErrors)
{
    if (!ClaimJobSlot(L"正在下载更新清单..."))
        return;
    autoUpdatePending = false;
    showUpdateErrors = showErrors;
    progressPercent = 0;
    updateFailed = false;
    updateRunning = true;
    workers.ClearCancel();
    uiProgress = vorn::UpdateProgress{};

    if (Controls().announcementView != nullptr)
        MoveWindow(Controls().announcementView, kAnnouncementRect.x, kAnnouncementRect.y, kAnnouncementRect.width,
                   kAnnouncementRect.height, TRUE);
    if (Controls().updateLabel != nullptr)
        SetWindowPos(Controls().updateLabel, nullptr, kUpdateLabelRect.x, kUpdateLabelRect.y, kUpdateLabelRect.width,
                     kUpdateLabelRect.height, SWP_SHOWWINDOW);

    RefreshUpdateLabel();
    InvalidateRect(mainWindow, nullptr, FALSE);
    if (!StartJobThread(updateThread, RunUpdateAndPost))
        RecoverFromThreadFailure();
}

void OnUpdateFinished(LPARAM result)
{
    const std::unique_ptr<vorn::UpdateResult> payload = TakePayload<vorn::UpdateResult>(result);
    const vorn::UpdateResult outcome = payload ? *payload : vorn::UpdateResult{};

    updateRunning = false;
    if (!EndJob(updateThread))
        return;

    ReleaseJobSlot();
    statusText = outcome.message;
    InvalidateRect(mainWindow, nullptr, FALSE);
    updateFailed = !outcome.succeeded;
    RefreshUpdateLabel();

    if (outcome.succeeded) {
        progressPercent = 100;
        ShowWindow(Controls().updateLabel, SW_HIDE);
        // The label's area on the face is repainted once the label is hidden.
        const RECT labelArea = ToRect(kUpdateLabelRect);
        InvalidateRect(mainWindow, &labelArea, FALSE);
    }

    // An automatic check fails quietly: the status line and the label say it.
    if (!outcome.succeeded && showUpdateErrors) {
        ShowMessageBox(mainWindow, outcome.message, L"更新失败", MB_OK | MB_ICONERROR);
        return;
    }

    if (outcome.restartRequired)
        OfferRestart();
}

void OnProgressChanged()
{
    uiProgress = workers.TakeProgress();
    progressPercent = uiProgress.overallPercent;
    RefreshUpdateLabel();
}

bool IsUpdateCancelled()
{
    return workers.cancelled();
}

void OnUpdateProgress(const vorn::UpdateProgress& progress)
{
    workers.PublishProgress(progress, WM_APP_PROGRESS_CHANGED);
}

std::wstring BuildUpdateStatusText()
{
    return UpdateStatusText(uiProgress, closePending, updateFailed);
}

void RefreshUpdateLabel()
{
    if (Controls().updateLabel == nullptr)
        return;
    SetWindowTextW(Controls().updateLabel, UpdateLabelText(BuildUpdateStatusText(), uiProgress).c_str());
    InvalidateRect(Controls().updateLabel, nullptr, FALSE);
}
