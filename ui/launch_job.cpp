#include "ui/launch_job.h"

#include "base/message_box.h"
#include "launch/game_start.h"
#include "ui/jobs.h"
#include "ui/settings.h"
#include "ui/shared_state.h"

#include <exception>
#include <memory>

namespace {

constexpr wchar_t kExchangeFailed[] = L"连接分区认证服务时发生错误。";

// What the status line said before the launch; it says it again when the launch is decided.
std::wstring statusBeforeLaunch;

RegionInfo CopySelectedRegion()
{
    if (selectedRegion < 0 || static_cast<std::size_t>(selectedRegion) >= regions.size())
        return {};
    return regions[static_cast<std::size_t>(selectedRegion)];
}

void AuthoriseAndPost(const RegionInfo& region, const std::wstring& account)
{
    // The thread ends here; without a payload the window reports the exchange as failed.
    std::unique_ptr<LaunchStep> step;
    try {
        step = std::make_unique<LaunchStep>(AuthoriseLaunch(region, account));
    } catch (const std::exception&) {
        step.reset();
    }
    PostToMainWindow(WM_APP_LAUNCH_FINISHED, 0, std::move(step));
}

}

void ShowLaunchNotice(HWND owner, const LaunchNotice& notice)
{
    const UINT icon = notice.kind == LaunchNotice::Kind::Information ? MB_ICONINFORMATION : MB_ICONERROR;
    ShowMessageBox(owner, notice.text, notice.caption, MB_OK | icon);
}

void StartGameFromWindow(HWND owner, const std::wstring& host, std::uint16_t port, const std::wstring& clientCode)
{
    if (const std::optional<LaunchNotice> notice = StartGameClient(host, port, clientCode)) {
        ShowLaunchNotice(owner, *notice);
        return;
    }
    ShowWindow(owner, SW_MINIMIZE);
}

void FinishLaunch(HWND owner, const LaunchStep& step)
{
    if (!step.target) {
        ShowLaunchNotice(owner, step.notice);
        return;
    }
    StartGameFromWindow(owner, step.target->host, step.target->port, step.target->clientCode);
}

void EnterGame()
{
    // A region load, an update or a launch is running; the press is dropped without a word.
    if (busy.load())
        return;
    if (const std::optional<LaunchNotice> notice = CheckLaunchPreconditions(hasRegions, HasValidSelection())) {
        ShowLaunchNotice(mainWindow, *notice);
        return;
    }
    // The player's choices are stored before anything goes over the network.
    SaveSettings();

    const RegionInfo region = CopySelectedRegion();
    const std::wstring account = ReadAccountText();
    const std::wstring before = statusText;
    if (!ClaimJobSlot(L"正在请求游戏分区启动认证：" + region.displayName))
        return;
    statusBeforeLaunch = before;
    if (!StartJobThread(launchThread, [region, account] { AuthoriseAndPost(region, account); })) {
        ReleaseJobSlot();
        statusText = statusBeforeLaunch;
        ShowLaunchNotice(mainWindow, LaunchNotice{kExchangeFailed});
    }
}

void OnLaunchFinished(LPARAM step)
{
    const std::unique_ptr<LaunchStep> payload = TakePayload<LaunchStep>(step);
    if (!EndJob(launchThread))
        return;
    ReleaseJobSlot();
    statusText = statusBeforeLaunch;
    InvalidateRect(mainWindow, nullptr, FALSE);
    FinishLaunch(mainWindow, payload ? *payload : LaunchStep{std::nullopt, LaunchNotice{kExchangeFailed}});
}
