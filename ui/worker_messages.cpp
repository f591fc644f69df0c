#include "ui/worker_messages.h"

#include "launch/enter_game.h"
#include "launch/region_list.h"
#include "ui/main_window.h"
#include "ui/shared_state.h"

#include <memory>
#include <string>

void OnStatusText(MainWindow& window, LPARAM text)
{
    if (const std::unique_ptr<std::wstring> payload = TakePayload<std::wstring>(text))
        window.state.statusText = std::move(*payload);
    InvalidateRect(window.hwnd(), nullptr, FALSE);
}

void DiscardQueuedWorkerMessages(HWND window)
{
    // Taking a payload back into a unique_ptr that goes out of scope at once frees it.
    MSG msg{};
    while (PeekMessageW(&msg, window, kFirstWorkerMessage, kLastWorkerMessage, PM_REMOVE)) {
        switch (msg.message) {
        case WM_APP_REGION_LIST_RESULT:
            TakePayload<RegionListResult>(msg.lParam);
            break;
        case WM_APP_STATUS_TEXT:
            TakePayload<std::wstring>(msg.lParam);
            break;
        case WM_APP_UPDATE_FINISHED:
            TakePayload<vorn::UpdateResult>(msg.lParam);
            break;
        case WM_APP_LAUNCH_FINISHED:
            TakePayload<LaunchStep>(msg.lParam);
            break;
        default:
            break;
        }
    }
}
