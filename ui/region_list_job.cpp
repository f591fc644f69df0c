#include "ui/region_list_job.h"

#include "base/config.h"
#include "launch/region_list.h"
#include "ui/main_window.h"
#include "ui/jobs.h"
#include "ui/update_job.h"
#include "ui/worker_messages.h"

#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace {

// The status line after a region-list result: the load's error text, or what the result itself says.
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

void LoadAndPost(const WorkerChannel& workers, const std::wstring& serverHost)
{
    // The thread ends here: a failure to allocate must not escape it, and without its task nothing is posted.
    try {
        workers.PostTask([result = LoadRegionList(serverHost)](MainWindow& window) mutable {
            OnRegionListResult(window, std::move(result));
        });
    } catch (const std::exception&) {
    }
}

// The load runs on a thread of its own that nobody joins: the resolver alone may hold it for many seconds, and
// a player who closes the window must not wait for that. The thread owns everything it touches (its copy of the
// channel and of the host), so it may end after the window, and with the process.
bool StartDetachedLoad(const WorkerChannel& workers, const std::wstring& serverHost)
{
    try {
        std::thread([workers, serverHost] { LoadAndPost(workers, serverHost); }).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}

void StartRegionListLoad(MainWindow& window)
{
    if (!ClaimJobSlot(window, kLoadingRegionsText))
        return;
    if (!StartDetachedLoad(window.workers, Config().serverHost)) {
        // Without its thread the load never reports, so nothing would ever give the slot back: undo the start.
        ReleaseJobSlot(window);
        window.state.statusText = kRegionLoadErrorText;
    }
}

void OnRegionListResult(MainWindow& window, RegionListResult outcome)
{
    MainWindowState& state = window.state;
    state.directoryConnected = outcome.connected;
    state.regions = std::move(outcome.regions);
    state.hasRegions = !state.regions.empty();
    // A new list may order the regions differently, so an old index would point at another region.
    state.selectedRegion = -1;
    state.statusText = RegionListStatusText(outcome.errorText, state.hasRegions, state.directoryConnected);

    for (int slot = 0; slot < kRegionButtonCount; ++slot) {
        HWND button = window.controls.regionButtons[static_cast<std::size_t>(slot)];
        SetWindowTextW(button, state.RegionDisplayName(slot).c_str());
        InvalidateRect(button, nullptr, TRUE);
    }
    InvalidateRect(window.controls.enterGameButton, nullptr, TRUE);
    ReleaseJobSlot(window);

    // Only the first list of a run starts the automatic update; the update clears the flag when it starts.
    if (state.autoUpdatePending)
        CheckUpdatesAsync(window, false);
}
