#include "ui/window_commands.h"

#include "base/config.h"
#include "ui/main_window.h"
#include "ui/launch_job.h"
#include "ui/layout.h"
#include "ui/settings.h"
#include "ui/update_job.h"

#include <shellapi.h>

#include <string>

namespace {

void OnRegionClicked(MainWindow& window, int slot)
{
    MainWindowState& state = window.state;
    const std::wstring name = state.RegionDisplayName(slot);
    if (name.empty())
        return;
    state.selectedRegion = slot;
    // While a load or an update runs the choice is kept, but the launch waits until the work is done.
    EnableWindow(window.controls.enterGameButton, state.busy ? FALSE : TRUE);
    state.statusText = L"已选择游戏分区：" + name;
    InvalidateRect(window.hwnd(), nullptr, FALSE);
    for (HWND button : window.controls.regionButtons)
        InvalidateRect(button, nullptr, TRUE);
    InvalidateRect(window.controls.enterGameButton, nullptr, TRUE);
}

void ToggleWindowed(MainWindow& window)
{
    window.settings.windowed = !window.settings.windowed;
    SaveSettings(window.settings);
    InvalidateRect(window.controls.windowedCheck, nullptr, TRUE);
}

// All four link buttons lead to the same home page; a missing browser is not worth a message.
void OpenWebsite(HWND window)
{
    ShellExecuteW(window, L"open", Config().websiteUrl.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}

bool IsInDragBand(int clientY)
{
    return clientY >= 0 && clientY < kDragBandHeight;
}

void OnCommand(MainWindow& window, int controlId)
{
    if (controlId >= kFirstRegionButtonId && controlId < kFirstRegionButtonId + kRegionButtonCount) {
        OnRegionClicked(window, controlId - kFirstRegionButtonId);
        return;
    }
    switch (controlId) {
    case kWindowedCheckId:
        ToggleWindowed(window);
        break;
    case kWebsiteButtonId:
    case kForumButtonId:
    case kRegisterButtonId:
    case kSponsorButtonId:
        OpenWebsite(window.hwnd());
        break;
    case kDownloadButtonId:
        CheckUpdatesAsync(window, true);
        break;
    case kUpdateLabelId:
        // The label is a retry button only after a failure; the second click of a double click finds the
        // flag already cleared by the check it started.
        if (window.state.updateFailed)
            CheckUpdatesAsync(window, true);
        break;
    case kEnterGameButtonId:
        EnterGame(window);
        break;
    case kGameSettingsButtonId:
        ShowGameSettingsDialog(window);
        break;
    case kCloseButtonId:
        PostMessageW(window.hwnd(), WM_CLOSE, 0, 0);
        break;
    default:
        break;
    }
}
