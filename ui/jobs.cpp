#include "ui/jobs.h"

#include "ui/main_window.h"
#include "ui/shared_state.h"

namespace {

void EnableIfPresent(HWND control, bool enable)
{
    if (control != nullptr)
        EnableWindow(control, enable ? TRUE : FALSE);
}

}

bool ClaimJobSlot(const std::wstring& status)
{
    if (busy.exchange(true))
        return false;
    EnableIfPresent(Controls().downloadButton, false);
    EnableIfPresent(Controls().enterGameButton, false);
    statusText = status;
    InvalidateRect(mainWindow, nullptr, FALSE);
    return true;
}

void ReleaseJobSlot()
{
    busy.store(false);
    EnableIfPresent(Controls().downloadButton, true);
    EnableIfPresent(Controls().enterGameButton, HasValidSelection());
    InvalidateRect(mainWindow, nullptr, FALSE);
}

void JoinJobThread(std::thread& thread)
{
    if (thread.joinable())
        thread.join();
}

bool EndJob(std::thread& thread)
{
    JoinJobThread(thread);
    if (!closePending)
        return true;
    DestroyWindow(mainWindow);
    return false;
}

bool AnyJobThread()
{
    return regionListThread.joinable() || updateThread.joinable() || launchThread.joinable();
}

void JoinJobThreads()
{
    JoinJobThread(regionListThread);
    JoinJobThread(updateThread);
    JoinJobThread(launchThread);
}
