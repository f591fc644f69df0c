#include "ui/jobs.h"

#include "ui/main_window.h"

namespace {

void EnableIfPresent(HWND control, bool enable)
{
    if (control != nullptr)
        EnableWindow(control, enable ? TRUE : FALSE);
}

}

bool ClaimJobSlot(MainWindow& window, const std::wstring& status)
{
    if (window.state.busy)
        return false;
    window.state.busy = true;
    EnableIfPresent(window.controls.downloadButton, false);
    EnableIfPresent(window.controls.enterGameButton, false);
    window.state.statusText = status;
    InvalidateRect(window.hwnd(), nullptr, FALSE);
    return true;
}

void ReleaseJobSlot(MainWindow& window)
{
    window.state.busy = false;
    EnableIfPresent(window.controls.downloadButton, true);
    EnableIfPresent(window.controls.enterGameButton, window.state.HasValidSelection());
    InvalidateRect(window.hwnd(), nullptr, FALSE);
}

bool EndJob(MainWindow& window, std::thread& thread)
{
    JoinJobThread(thread);
    if (!window.state.closePending)
        return true;
    DestroyWindow(window.hwnd());
    return false;
}
