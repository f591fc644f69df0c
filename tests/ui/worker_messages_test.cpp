// The messages the region-list and update threads post, delivered to the real main window from real threads.

#include "tests/support/main_window_harness.h"
#include "ui/main_window.h"
#include "ui/shared_state.h"
#include "ui/update_job.h"
#include "ui/worker_messages.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

// The payload types of the worker messages are fixed, so the test sees their release through operator delete:
// while `watchedPayload` is set, its release is noted.
namespace {
std::atomic<void*> watchedPayload{nullptr};
std::atomic<bool> watchedPayloadFreed{false};
}

void operator delete(void* pointer) noexcept
{
    if (pointer != nullptr && pointer == watchedPayload.load())
        watchedPayloadFreed = true;
    std::free(pointer);
}

void operator delete(void* pointer, std::size_t) noexcept
{
    ::operator delete(pointer);
}

using harness::MainWindowUnderTest;
using harness::MessageBoxRecorder;
using harness::PumpPending;
using harness::PumpUntil;

namespace {

constexpr DWORD kWait = 10000;

std::wstring Text(HWND window)
{
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
}

// A list of `count` regions named "分区1", "分区2", ...
std::vector<RegionInfo> Regions(int count)
{
    std::vector<std::wstring> names;
    for (int i = 1; i <= count; ++i)
        names.push_back(L"分区" + std::to_wstring(i));
    return harness::RegionsNamed(names);
}

// A stand-in for the update thread: claims the slot like the driver, posts `result` as its last act, after
// waiting for the cancellation when asked to.
void RunFakeUpdate(vorn::UpdateResult result, bool showErrors, bool waitForCancel = false)
{
    busy.store(true);
    updateRunning = true;
    showUpdateErrors = showErrors;
    updateFailed = false;
    ShowWindow(Controls().updateLabel, SW_SHOWNA);
    updateThread = std::thread([result = std::move(result), waitForCancel]() mutable {
        const ULONGLONG deadline = GetTickCount64() + kWait;
        while (waitForCancel && !workers.cancelled() && GetTickCount64() < deadline)
            Sleep(5);
        PostToMainWindow(WM_APP_UPDATE_FINISHED, 0, std::make_unique<vorn::UpdateResult>(std::move(result)));
    });
}

vorn::UpdateResult Outcome(bool succeeded, std::wstring message, bool restartRequired = false)
{
    vorn::UpdateResult result;
    result.succeeded = succeeded;
    result.restartRequired = restartRequired;
    result.message = std::move(message);
    return result;
}

int DispatchQueuedProgressMessages()
{
    int count = 0;
    MSG msg{};
    while (PeekMessageW(&msg, nullptr, WM_APP_PROGRESS_CHANGED, WM_APP_PROGRESS_CHANGED, PM_REMOVE)) {
        ++count;
        DispatchMessageW(&msg);
    }
    return count;
}

bool WorkerMessageQueued()
{
    // A pending quit passes every filter; the destruction posts one.
    MSG msg{};
    while (PeekMessageW(&msg, nullptr, kFirstWorkerMessage, kLastWorkerMessage, PM_NOREMOVE)) {
        if (msg.message != WM_QUIT)
            return true;
        PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    }
    return false;
}

std::atomic<int> countedPayloadsFreed{0};

struct CountedPayload {
    ~CountedPayload() { ++countedPayloadsFreed; }
};

}

TEST(RegionListResult, EachOutcomeRelabelsTheButtonsAndReleasesTheWindow)
{
    struct Case {
        int regionCount;
        bool connected;
        const wchar_t* error;
        const wchar_t* status;
    };
    const Case cases[] = {
        {11, true, L"", L"游戏分区列表加载完成，请选择分区。"},
        {0, true, L"", L"多区列表服务已连接，但尚未配置游戏分区。"},
        {0, false, L"", L"未能通过入口域名连接多区列表服务。"},
        {2, true, L"读取分区列表超时。", L"读取分区列表超时。"},
    };
    MainWindowUnderTest window;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        // A region chosen from the previous list, and a load in progress.
        harness::DeliverRegionList(Regions(3));
        SendMessageW(Controls().regionButtons[2], BM_CLICK, 0, 0);
        ASSERT_EQ(selectedRegion, 2);
        busy.store(true);
        EnableWindow(Controls().downloadButton, FALSE);

        harness::DeliverRegionList(Regions(c.regionCount), c.connected, c.error);

        EXPECT_EQ(statusText, c.status);
        EXPECT_EQ(directoryConnected, c.connected);
        EXPECT_EQ(hasRegions, c.regionCount > 0);
        EXPECT_EQ(selectedRegion, -1) << "every list clears the choice";
        EXPECT_FALSE(busy.load());
        EXPECT_TRUE(IsWindowEnabled(Controls().downloadButton));
        EXPECT_FALSE(IsWindowEnabled(Controls().enterGameButton));
        for (int slot = 0; slot < kRegionButtonCount; ++slot) {
            const std::wstring expected = slot < c.regionCount ? L"分区" + std::to_wstring(slot + 1) : L"";
            EXPECT_EQ(Text(Controls().regionButtons[static_cast<std::size_t>(slot)]), expected) << "slot " << slot;
        }
    }
}

TEST(RegionListResult, OnlyTheFirstStartsTheAutomaticUpdate)
{
    MainWindowUnderTest window;
    autoUpdatePending = true;
    harness::DeliverRegionList(Regions(1));
    EXPECT_FALSE(autoUpdatePending) << "the first list started the automatic update";
    ASSERT_TRUE(PumpUntil([] { return !updateRunning && !busy.load(); }, 30000));

    harness::DeliverRegionList(Regions(1));
    EXPECT_FALSE(updateRunning) << "a later list starts nothing";
    EXPECT_FALSE(busy.load());
    EXPECT_FALSE(autoUpdatePending);
}

TEST(StatusText, PostedTextReachesTheStatusLine)
{
    MainWindowUnderTest window;
    const std::wstring before = statusText;
    PostStatusText(L"正在下载更新清单...");
    EXPECT_EQ(statusText, before) << "nothing changes before the message is handled";
    PumpPending();
    EXPECT_EQ(statusText, L"正在下载更新清单...");
}

TEST(Progress, BurstYieldsOneMessageShowingTheLastRecord)
{
    MainWindowUnderTest window;
    busy.store(true);
    updateRunning = true;

    std::thread reporter([] {
        for (int i = 0; i <= 400; ++i) {
            vorn::UpdateProgress progress;
            progress.stage = 2;
            progress.current = static_cast<std::uint32_t>(i);
            progress.total = 400;
            progress.filePercent = i % 100;
            progress.overallPercent = i / 4;
            progress.file = L"Data\\file" + std::to_wstring(i) + L".pak";
            OnUpdateProgress(progress);
        }
    });
    reporter.join();

    EXPECT_EQ(DispatchQueuedProgressMessages(), 1);
    EXPECT_EQ(uiProgress.file, L"Data\\file400.pak");
    EXPECT_EQ(uiProgress.current, 400u);
    EXPECT_EQ(uiProgress.filePercent, 0);
    EXPECT_EQ(progressPercent, 100);
    EXPECT_EQ(Text(Controls().updateLabel), L"升级客户端文件（400/400），更新 0%，进度 100%") << "the label shows the last record";
    EXPECT_FALSE(workers.progressPending());

    // Handled, the next report posts again; the percent is taken as it comes.
    vorn::UpdateProgress beyond;
    beyond.overallPercent = 150;
    OnUpdateProgress(beyond);
    EXPECT_EQ(DispatchQueuedProgressMessages(), 1);
    EXPECT_EQ(progressPercent, 150);

    // Once the window is closing the driver posts nothing more.
    workers.Close();
    OnUpdateProgress(beyond);
    EXPECT_EQ(DispatchQueuedProgressMessages(), 0);
}

TEST(UpdateFinished, SuccessReleasesTheWindowAndHidesTheLabel)
{
    MessageBoxRecorder boxes({IDOK});
    MainWindowUnderTest window;
    harness::DeliverRegionList(Regions(2));
    SendMessageW(Controls().regionButtons[0], BM_CLICK, 0, 0);

    RunFakeUpdate(Outcome(true, L"客户端已是最新版本。"), true);
    ASSERT_TRUE(PumpUntil([] { return !updateRunning; }, kWait));
    EXPECT_FALSE(updateThread.joinable());
    EXPECT_FALSE(busy.load());
    EXPECT_EQ(statusText, L"客户端已是最新版本。");
    EXPECT_FALSE(updateFailed);
    EXPECT_EQ(progressPercent, 100);
    EXPECT_FALSE(GetWindowLongW(Controls().updateLabel, GWL_STYLE) & WS_VISIBLE);
    EXPECT_TRUE(IsWindowEnabled(Controls().downloadButton));
    EXPECT_TRUE(IsWindowEnabled(Controls().enterGameButton)) << "a region is chosen";
    EXPECT_TRUE(boxes.calls().empty());
}

TEST(UpdateFinished, FailureIsBoxedOnlyWhenThePlayerAsked)
{
    MessageBoxRecorder boxes({IDOK});
    MainWindowUnderTest window;

    RunFakeUpdate(Outcome(false, L"下载更新清单失败。"), false);
    ASSERT_TRUE(PumpUntil([] { return !updateRunning; }, kWait));
    EXPECT_TRUE(boxes.calls().empty()) << "the automatic check fails quietly";
    EXPECT_TRUE(updateFailed);
    EXPECT_EQ(statusText, L"下载更新清单失败。");
    EXPECT_TRUE(GetWindowLongW(Controls().updateLabel, GWL_STYLE) & WS_VISIBLE)
        << "the label stays as the retry button";
    EXPECT_FALSE(IsWindowEnabled(Controls().enterGameButton)) << "no region is chosen";

    RunFakeUpdate(Outcome(false, L"校验文件失败：Data\\a.pak"), true);
    ASSERT_TRUE(PumpUntil([] { return !updateRunning; }, kWait));
    ASSERT_EQ(boxes.calls().size(), 1u);
    EXPECT_EQ(boxes.calls()[0].text, L"校验文件失败：Data\\a.pak");
    EXPECT_EQ(boxes.calls()[0].caption, L"更新失败");
    EXPECT_EQ(boxes.calls()[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_FALSE(busy.load());
}

TEST(UpdateFinished, StagedLauncherOffersARestart)
{
    MessageBoxRecorder boxes({IDCANCEL, IDOK, IDOK});
    MainWindowUnderTest window;

    RunFakeUpdate(Outcome(true, L"更新完成。", true), false);
    ASSERT_TRUE(PumpUntil([] { return !updateRunning; }, kWait));
    ASSERT_EQ(boxes.calls().size(), 1u);
    EXPECT_EQ(boxes.calls()[0].text, L"登录器已更新，需要立即重新启动。");
    EXPECT_EQ(boxes.calls()[0].caption, L"重新启动登录器");
    EXPECT_EQ(boxes.calls()[0].type, static_cast<UINT>(MB_OKCANCEL | MB_ICONINFORMATION));
    EXPECT_TRUE(window.exists()) << "Cancel keeps the old launcher running";

    // OK, but there is no staged executable next to this one to start.
    RunFakeUpdate(Outcome(true, L"更新完成。", true), false);
    ASSERT_TRUE(PumpUntil([] { return !updateRunning; }, kWait));
    ASSERT_EQ(boxes.calls().size(), 3u);
    EXPECT_EQ(boxes.calls()[2].text, L"无法启动登录器更新程序。");
    EXPECT_EQ(boxes.calls()[2].caption, L"重新启动失败");
    EXPECT_EQ(boxes.calls()[2].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_TRUE(window.exists());
}

TEST(CloseDuringUpdate, WaitsForTheResultThenClosesWithoutQuestions)
{
    MessageBoxRecorder boxes({IDYES, IDOK});
    MainWindowUnderTest window;
    RunFakeUpdate(Outcome(false, L"更新已取消。", true), true, true);

    SendMessageW(window.hwnd(), WM_CLOSE, 0, 0);
    ASSERT_EQ(boxes.calls().size(), 1u);
    EXPECT_EQ(boxes.calls()[0].caption, L"确认退出");
    EXPECT_TRUE(window.exists()) << "the update removes its staging folder first";
    EXPECT_TRUE(closePending);
    EXPECT_TRUE(workers.cancelled());
    EXPECT_EQ(statusText, L"正在取消下载并清理临时文件…");

    EXPECT_TRUE(PumpUntil([&] { return !window.exists(); }, kWait));
    EXPECT_EQ(boxes.calls().size(), 1u) << "neither the failure nor the staged launcher asks anything";
    EXPECT_FALSE(updateThread.joinable());
}

TEST(Ownership, NothingLeaksOnceTheWindowIsClosing)
{
    countedPayloadsFreed = 0;
    MainWindowUnderTest window;

    // Destroyed by other means while an update runs: the destruction joins the thread, whose post is refused.
    busy.store(true);
    updateRunning = true;
    updateThread = std::thread([] {
        const ULONGLONG deadline = GetTickCount64() + kWait;
        while (!workers.cancelled() && GetTickCount64() < deadline)
            Sleep(5);
        PostToMainWindow(WM_APP + 3, 0, std::make_unique<CountedPayload>());
    });
    // Posted before the window started closing, never to be delivered: the destruction frees it.
    PostStatusText(L"正在下载更新清单...");
    auto result = std::make_unique<vorn::UpdateResult>();
    watchedPayload = result.get();
    PostToMainWindow(WM_APP_UPDATE_FINISHED, 0, std::move(result));

    DestroyWindow(window.hwnd());
    watchedPayload = nullptr;
    EXPECT_FALSE(updateThread.joinable()) << "the destruction waited for the update thread";
    EXPECT_EQ(countedPayloadsFreed.load(), 1);
    EXPECT_TRUE(watchedPayloadFreed.load()) << "the queued result was freed";
    EXPECT_FALSE(WorkerMessageQueued());

    // Once the window is closing nothing is posted; the poster frees the payload.
    PostToMainWindow(WM_APP + 3, 0, std::make_unique<CountedPayload>());
    PostStatusText(L"不应显示");
    EXPECT_EQ(countedPayloadsFreed.load(), 2);
    EXPECT_FALSE(WorkerMessageQueued());

    // A post the system refuses (the window is gone) is freed too.
    workers.Open(window.hwnd());
    PostToMainWindow(WM_APP + 3, 0, std::make_unique<CountedPayload>());
    EXPECT_EQ(countedPayloadsFreed.load(), 3);
    EXPECT_FALSE(WorkerMessageQueued());
}
