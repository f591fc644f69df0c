#include "ui/update_job.h"

#include "base/config.h"
#include "base/message_box.h"
#include "base/paths.h"
#include "ui/main_window.h"
#include "ui/jobs.h"
#include "ui/layout.h"
#include "ui/paint_text.h"
#include "ui/worker_messages.h"
#include "update/self_update.h"
#include "update/update_transaction.h"

#include <exception>

namespace {

// The update as the update's thread sees the window: the cancellation query (the window is closing or the
// player closed it during the update), and progress that keeps the newest record and posts at most one notice
// at a time.
class WindowObserver final : public vorn::UpdateObserver {
public:
    explicit WindowObserver(WorkerChannel& workers) : workers_(workers) {}

    void OnProgress(const vorn::UpdateProgress& progress) override
    {
        workers_.PublishProgress(progress, [](MainWindow& window) { OnProgressChanged(window); });
    }
    void OnDownloadStarted(const std::wstring& file) override { PostStatusText(workers_, DownloadStartedText(file)); }
    bool Cancelled() const override { return workers_.cancelled(); }

private:
    WorkerChannel& workers_;
};

void RunUpdateAndPost(WorkerChannel& workers, const vorn::UpdateRequest& request)
{
    // The thread ends here: nothing may escape it. An update that could not report leaves its slot taken until
    // the window closes, as one whose window is closing does.
    try {
        WindowObserver observer(workers);
        workers.PostTask([result = vorn::ApplyClientUpdate(request, observer)](MainWindow& window) {
            OnUpdateFinished(window, result);
        });
    } catch (const std::exception&) {
    }
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
    if (RestartForSelfUpdate(ClientRoot()))
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
    const vorn::UpdateRequest request = UpdateRequestFrom(Config(), ClientRoot(), GetExecutablePath());
    if (!StartJobThread(window.jobs.update,
                        [&workers = window.workers, request] { RunUpdateAndPost(workers, request); }))
        RecoverFromThreadFailure(window);
}

void OnUpdateFinished(MainWindow& window, const vorn::UpdateResult& outcome)
{
    MainWindowState& state = window.state;
    state.updateRunning = false;
    if (!EndJob(window, window.jobs.update))
        return;

    ReleaseJobSlot(window);
    state.statusText = outcome.succeeded ? UpdateSucceededText(outcome.filesUpdated) : outcome.message;
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

vorn::UpdateRequest UpdateRequestFrom(const LauncherConfig& config, const std::wstring& clientRoot,
                                      const std::wstring& launcherPath)
{
    vorn::UpdateRequest request;
    request.siteUrl = config.updateBaseUrl;
    request.manifestName = config.manifestName;
    request.clientFolder = clientRoot;
    request.launcherPath = launcherPath;
    request.connections = config.downloadConnections;
    request.publicKey = config.updatePublicKey;
    request.minimumRelease = config.minimumRelease;
    request.maxUnknownLength = config.maxUnknownLength;
    return request;
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
