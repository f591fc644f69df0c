#include "ui/window_commands.h"

#include "base/config.h"
#include "ui/main_window.h"
#include "ui/launch_job.h"
#include "ui/layout.h"
#include "ui/settings.h"
#include "ui/shared_state.h"
#include "ui/update_job.h"
#include "ui/windowed_check.h"

#include <shellapi.h>

#include <string>

namespace {

void OnRegionClicked(int slot)
{
    const std::wstring name = RegionDisplayName(slot);
    if (name.empty())
        return;
    selectedRegion = slot;
    // While a load or an update runs the choice is kept, but the launch waits until the work is done.
    EnableWindow(Controls().enterGameButton, busy.load() ? FALSE : TRUE);
    statusText = L"已选择游戏分区：" + name;
    InvalidateRect(mainWindow, nullptr, FALSE);
    for (HWND button : Controls().regionButtons)
        InvalidateRect(button, nullptr, TRUE);
    InvalidateRect(Controls().enterGameButton, nullptr, TRUE);
}

void ToggleWindowed()
{
    SetWindowedChecked(!IsWindowedChecked());
    SaveSettings();
    InvalidateRect(Controls().windowedCheck, nullptr, TRUE);
}

// All four link buttons lead to the same home page; a missing browser is not worth a message.
void OpenWebsite()
{
    ShellExecuteW(mainWindow, L"open", Config().websiteUrl.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}

bool IsInDragBand(int clientY)
{
    return clientY >= 0 && clientY < kDragBandHeight;
}

void OnCommand(int controlId)
{
    if (controlId >= kFirstRegionButtonId && controlId < kFirstRegionButtonId + kRegionButtonCount) {
        OnRegionClicked(controlId - kFirstRegionButtonId);
        return;
    }
    switch (controlId) {
    case kWindowedCheckId:
        ToggleWindowed();
        break;
    case kWebsiteButtonId:
    case kForumButtonId:
    case kRegisterButtonId:
    case kSponsorButtonId:
        OpenWebsite();
        break;
    case kDownloadButtonId:
        CheckUpdatesAsync(true);
        break;
    case kUpdateLabelId:
        // The label is a retry button only after a failure; the second click of a double click finds the
        // flag already cleared by the check it started.
        if (updateFailed)
            CheckUpdatesAsync(true);
        break;
    case kEnterGameButtonId:
        EnterGame();
        break;
    case kGameSettingsButtonId:
        ShowGameSettingsDialog();
        break;
    case kCloseButtonId:
        PostMessageW(mainWindow, WM_CLOSE, 0, 0);
        break;
    default:
        break;
    }
}
