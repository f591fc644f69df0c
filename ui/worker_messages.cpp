#include "ui/worker_messages.h"

#include "base/message_box.h"
#include "ui/controls.h"
#include "ui/shared_state.h"
#include "update/update_driver.h"

#include <memory>
#include <string>

namespace {

// The update label's area on the face, repainted when a finished update hides the label.
constexpr RECT kUpdateLabelArea{272, 304, 766, 358};

void EnableActionButtons()
{
    EnableWindow(downloadButton, TRUE);
    EnableWindow(enterGameButton, HasValidSelection() ? TRUE : FALSE);
}

// The status line after a region-list result: the worker's error text, or what the result itself says.
std::wstring RegionListStatusText(const std::wstring& errorText, bool regionsListed, bool connected)
{
    // A load that failed part-way keeps the regions it read, but the error is what the player needs to see.
    if (!errorText.empty())
        return errorText;
    if (regionsListed)
        return L"游戏分区列表加载完成，请选择分区。";
    if (connected)
        return L"多区列表服务已连接，但尚未配置游戏分区。";
    return L"未能通过入口域名连接多区列表服务。";
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

void OnRegionListResult(WPARAM connected, LPARAM errorText)
{
    const std::unique_ptr<std::wstring> error = TakePayload<std::wstring>(errorText);
    directoryConnected = connected != 0;
    {
        std::lock_guard lock(regionMutex);
        hasRegions = !regions.empty();
        // A new list may order the regions differently, so an old index would point at another region.
        selectedRegion = -1;
    }
    statusText = RegionListStatusText(error ? *error : std::wstring(), hasRegions, directoryConnected);
    InvalidateRect(mainWindow, nullptr, FALSE);

    for (int slot = 0; slot < kRegionButtonCount; ++slot) {
        HWND button = regionButtons[static_cast<std::size_t>(slot)];
        SetWindowTextW(button, RegionDisplayName(slot).c_str());
        InvalidateRect(button, nullptr, TRUE);
    }
    InvalidateRect(enterGameButton, nullptr, TRUE);

    busy.store(false);
    EnableActionButtons();
    InvalidateRect(mainWindow, nullptr, FALSE);

    // Only the first list of a run starts the automatic update; the driver clears the flag when it starts.
    if (autoUpdatePending)
        CheckUpdatesAsync(false);
}

void OnStatusText(LPARAM text)
{
    if (const std::unique_ptr<std::wstring> payload = TakePayload<std::wstring>(text))
        statusText = std::move(*payload);
    InvalidateRect(mainWindow, nullptr, FALSE);
}

void OnUpdateFinished(LPARAM result)
{
    const std::unique_ptr<vorn::UpdateResult> payload = TakePayload<vorn::UpdateResult>(result);
    const vorn::UpdateResult outcome = payload ? *payload : vorn::UpdateResult{};

    // The thread posts this as its last act, so the join returns at once.
    if (updateThread.joinable())
        updateThread.join();
    updateRunning = false;

    // The player already confirmed closing; no question or notice may keep the window now.
    if (closePending) {
        DestroyWindow(mainWindow);
        return;
    }

    busy.store(false);
    EnableActionButtons();
    InvalidateRect(mainWindow, nullptr, FALSE);

    statusText = outcome.message;
    InvalidateRect(mainWindow, nullptr, FALSE);
    updateFailed = !outcome.succeeded;
    RefreshUpdateLabel();

    if (outcome.succeeded) {
        progressPercent = 100;
        ShowWindow(updateLabel, SW_HIDE);
        InvalidateRect(mainWindow, &kUpdateLabelArea, FALSE);
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
    {
        std::lock_guard lock(progressMutex);
        uiProgress = sharedProgress;
        progressPending = false;
    }
    progressPercent = uiProgress.overallPercent;
    RefreshUpdateLabel();
}

void DiscardQueuedWorkerMessages(HWND window)
{
    // Taking a payload back into a unique_ptr that goes out of scope at once frees it.
    MSG msg{};
    while (PeekMessageW(&msg, window, WM_APP_REGION_LIST_RESULT, WM_APP_PROGRESS_CHANGED, PM_REMOVE)) {
        switch (msg.message) {
        case WM_APP_REGION_LIST_RESULT:
        case WM_APP_STATUS_TEXT:
            TakePayload<std::wstring>(msg.lParam);
            break;
        case WM_APP_UPDATE_FINISHED:
            TakePayload<vorn::UpdateResult>(msg.lParam);
            break;
        default:
            break;
        }
    }
}
