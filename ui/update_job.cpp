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

// The update's thread: the cancellation query (the window is closing or the player closed it during the
// update) and the progress callback, which keeps the newest record and posts at most one notice at a time.
void RunUpdateAndPost(WorkerChannel& workers)
{
    auto result = std::make_unique<vorn::UpdateResult>(RunConfiguredUpdate(
        [&workers](const std::wstring& text) { PostStatusText(workers, text); },
        [&workers] { return workers.cancelled(); },
        [&workers](const vorn::UpdateProgress& progress) {
            workers.PublishProgress(progress, WM_APP_PROGRESS_CHANGED);
        }));
    workers.Post(WM_APP_UPDATE_FINISHED, 0, std::move(result));
}

// The thread could not be started: give the slot back so the player can try again instead of a window that
// stays busy for ever.
void RecoverFromThreadFailure(MainWindow& window)
{
    MainWindowState& state = window.state;
    state.updateRunning = false;
    state.updateFailed = true;
    ReleaseJobSlot(window);
    state.statusText = L"无法启动更新，请稍后重试。";
    RefreshUpdateLabel(window);
    InvalidateRect(window.hwnd(), nullptr, FALSE);
    if (state.showUpdateErrors)
        ShowMessageBox(window.hwnd(), state.statusText, L"更新失败", MB_OK | MB_ICONERROR);
}

void OfferRestart(HWND window)
{
    if (ShowMessageBox(window, L"登录器已更新，需要立即重新启动。", L"重新启动登录器",
                       MB_OKCANCEL | MB_ICONINFORMATION) != IDOK)
        return;
    if (RestartForSelfUpdate())
        DestroyWindow(window);
    else
        ShowMessageBox(window, L"无法启动登录器更新程序。", L"重新启动失败", MB_OK | MB_ICONERROR);
}

}

void CheckUpdatesAsync(MainWindow& window, bool showErrors)
{
    if (!ClaimJobSlot(window, L"正在下载更新清单..."))
        return;
    MainWindowState& state = window.state;
    state.autoUpdatePending = false;
    state.showUpdateErrors = showErrors;
    state.progressPercent = 0;
    state.updateFailed = false;
    state.updateRunning = true;
    window.workers.ClearCancel();
    state.uiProgress = vorn::UpdateProgress{};

    const MainWindowControls& controls = window.controls;
    if (controls.announcementView != nullptr)
        MoveWindow(controls.announcementView, kAnnouncementRect.x, kAnnouncementRect.y, kAnnouncementRect.width,
                   kAnnouncementRect.height, TRUE);
    if (controls.updateLabel != nullptr)
        SetWindowPos(controls.updateLabel, nullptr, kUpdateLabelRect.x, kUpdateLabelRect.y, kUpdateLabelRect.width,
                     kUpdateLabelRect.height, SWP_SHOWWINDOW);

    RefreshUpdateLabel(window);
    InvalidateRect(window.hwnd(), nullptr, FALSE);
    if (!StartJobThread(window.jobs.update, [&workers = window.workers] { RunUpdateAndPost(workers); }))
        RecoverFromThreadFailure(window);
}

void OnUpdateFinished(MainWindow& window, LPARAM result)
{
    const std::unique_ptr<vorn::UpdateResult> payload = TakePayload<vorn::UpdateResult>(result);
    const vorn::UpdateResult outcome = payload ? *payload : vorn::UpdateResult{};

    MainWindowState& state = window.state;
    state.updateRunning = false;
    if (!EndJob(window, window.jobs.update))
        return;

    ReleaseJobSlot(window);
    state.statusText = outcome.message;
    InvalidateRect(window.hwnd(), nullptr, FALSE);
    state.updateFailed = !outcome.succeeded;
    RefreshUpdateLabel(window);

    if (outcome.succeeded) {
        state.progressPercent = 100;
        ShowWindow(window.controls.updateLabel, SW_HIDE);
        // The label's area on the face is repainted once the label is hidden.
        const RECT labelArea = ToRect(kUpdateLabelRect);
        InvalidateRect(window.hwnd(), &labelArea, FALSE);
    }

    // An automatic check fails quietly: the status line and the label say it.
    if (!outcome.succeeded && state.showUpdateErrors) {
        ShowMessageBox(window.hwnd(), outcome.message, L"更新失败", MB_OK | MB_ICONERROR);
        return;
    }

    if (outcome.restartRequired)
        OfferRestart(window.hwnd());
}

void OnProgressChanged(MainWindow& window)
{
    window.state.uiProgress = window.workers.TakeProgress();
    window.state.progressPercent = window.state.uiProgress.overallPercent;
    RefreshUpdateLabel(window);
}

std::wstring BuildUpdateStatusText(const MainWindow& window)
{
    return UpdateStatusText(window.state.uiProgress, window.state.closePending, window.state.updateFailed);
}

void RefreshUpdateLabel(MainWindow& window)
{
    HWND label = window.controls.updateLabel;
    if (label == nullptr)
        return;
    SetWindowTextW(label, UpdateLabelText(BuildUpdateStatusText(window), window.state.uiProgress).c_str());
    InvalidateRect(label, nullptr, FALSE);
}
