#include "ui/launch_job.h"

#include "base/message_box.h"
#include "base/paths.h"
#include "launch/game_start.h"
#include "ui/jobs.h"
#include "ui/main_window.h"
#include "ui/settings.h"
#include "ui/worker_messages.h"

#include <exception>

namespace {

constexpr wchar_t kExchangeFailed[] = L"连接分区认证服务时发生错误。";

RegionInfo CopySelectedRegion(const MainWindowState& state)
{
    if (!state.HasValidSelection())
        return {};
    return state.regions[static_cast<std::size_t>(state.selectedRegion)];
}

void AuthoriseAndPost(WorkerChannel& workers, const LauncherConfig& config, const RegionInfo& region,
                      const std::wstring& account)
{
    // The thread ends here: nothing may escape it, and an exchange that broke off is reported as failed.
    try {
        LaunchStep step{std::nullopt, LaunchNotice{kExchangeFailed}};
        try {
            step = AuthoriseLaunch(config, region, account);
        } catch (const std::exception&) {
        }
        workers.PostTask([step = std::move(step)](MainWindow& window) { OnLaunchFinished(window, step); });
    } catch (const std::exception&) {
    }
}

}

void ShowLaunchNotice(HWND owner, const LaunchNotice& notice)
{
    const UINT icon = notice.kind == LaunchNotice::Kind::Information ? MB_ICONINFORMATION : MB_ICONERROR;
    ShowMessageBox(owner, notice.text, notice.caption, MB_OK | icon);
}

void StartGameFromWindow(HWND owner, const LauncherConfig& config, const std::wstring& clientRoot,
                         const LaunchTarget& target)
{
    if (const std::optional<LaunchNotice> notice = StartGameClient(config, clientRoot, target)) {
        ShowLaunchNotice(owner, *notice);
        return;
    }
    // The face the player finds again (and the picture the system keeps of a minimised window) shows the launch
    // decided, not the frame painted while it ran.
    UpdateWindow(owner);
    ShowWindow(owner, SW_MINIMIZE);
}

void FinishLaunch(HWND owner, const LaunchStep& step, const LauncherConfig& config, const std::wstring& clientRoot)
{
    if (!step.target) {
        ShowLaunchNotice(owner, step.notice);
        return;
    }
    StartGameFromWindow(owner, config, clientRoot, *step.target);
}

void EnterGame(MainWindow& window)
{
    MainWindowState& state = window.state;
    // A region load, an update or a launch is running; the press is dropped without a word.
    if (state.busy)
        return;
    const LaunchPreconditions checked = CheckLaunchPreconditions(state.hasRegions, state.HasValidSelection(), ClientRoot());
    if (checked.stop) {
        ShowLaunchNotice(window.hwnd(), *checked.stop);
        return;
    }
    // The player's choices are stored before anything goes over the network.
    SaveSettings(window.settings);

    const RegionInfo region = CopySelectedRegion(state);
    const std::wstring account = ReadAccountText(window.settings);
    // Once the launch is decided the status line says what it said before, or that a test build left the
    // player's connection file alone.
    const std::wstring before = checked.connectFileKept ? kConnectFileKeptText : state.statusText;
    if (!ClaimJobSlot(window, L"正在请求游戏分区启动认证：" + region.displayName))
        return;
    state.launching = true;
    state.statusBeforeLaunch = before;
    if (!StartJobThread(window.jobs.launch, [&workers = window.workers, config = Config(), region, account] {
            AuthoriseAndPost(workers, config, region, account);
        })) {
        state.launching = false;
        ReleaseJobSlot(window);
        state.statusText = state.statusBeforeLaunch;
        ShowLaunchNotice(window.hwnd(), LaunchNotice{kExchangeFailed});
    }
}

void OnLaunchFinished(MainWindow& window, const LaunchStep& step)
{
    if (!EndJob(window, window.jobs.launch))
        return;
    window.state.launching = false;
    ReleaseJobSlot(window);
    window.state.statusText = window.state.statusBeforeLaunch;
    InvalidateRect(window.hwnd(), nullptr, FALSE);
    FinishLaunch(window.hwnd(), step, Config(), ClientRoot());
}
