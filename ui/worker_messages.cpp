#include "ui/worker_messages.h"

#include "ui/main_window.h"

#include <memory>
#include <utility>

namespace {

std::unique_ptr<WindowTask> TakeTask(LPARAM lParam)
{
    return std::unique_ptr<WindowTask>(reinterpret_cast<WindowTask*>(lParam));
}

}

void RunPostedTask(MainWindow& window, LPARAM task)
{
    if (const std::unique_ptr<WindowTask> posted = TakeTask(task); posted && *posted)
        (*posted)(window);
}

void DiscardQueuedWorkerMessages(HWND window)
{
    MSG msg{};
    while (PeekMessageW(&msg, window, WM_APP_RUN_TASK, WM_APP_RUN_TASK, PM_REMOVE))
        TakeTask(msg.lParam);
}

void PostStatusText(const WorkerChannel& workers, std::wstring text)
{
    workers.PostTask([text = std::move(text)](MainWindow& window) {
        window.state.statusText = text;
        InvalidateRect(window.hwnd(), nullptr, FALSE);
    });
}
