// The tasks the region-list and update threads post, run by the real main window from real threads.

#include "tests/support/main_window_harness.h"
#include "ui/main_window.h"
#include "ui/update_job.h"
#include "ui/worker_messages.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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
void RunFakeUpdate(MainWindow& window, vorn::UpdateResult result, bool showErrors, bool waitForCancel = false)
{
    window.state.busy = true;
    window.state.updateRunning = true;
    window.state.showUpdateErrors = showErrors;
    window.state.updateFailed = false;
    ShowWindow(window.controls.updateLabel, SW_SHOWNA);
    window.jobs.update = std::thread([&workers = window.workers, result = std::move(result), waitForCancel]() mutable {
        const ULONGLONG deadline = GetTickCount64() + kWait;
        while (waitForCancel && !workers.cancelled() && GetTickCount64() < deadline)
            Sleep(5);
        workers.PostTask([result](MainWindow& self) { OnUpdateFinished(self, result); });
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

const WindowTask kProgressNotice = [](MainWindow& window) { OnProgressChanged(window); };

int DispatchQueuedTasks()
{
    int count = 0;
    MSG msg{};
    while (PeekMessageW(&msg, nullptr, WM_APP_RUN_TASK, WM_APP_RUN_TASK, PM_REMOVE)) {
        ++count;
        DispatchMessageW(&msg);
    }
    return count;
}

bool WorkerMessageQueued()
{
    // A pending quit passes every filter; the destruction posts one.
    MSG msg{};
    while (PeekMessageW(&msg, nullptr, WM_APP_RUN_TASK, WM_APP_RUN_TASK, PM_NOREMOVE)) {
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

// A task that holds a counted payload, freed with the task, and notes whether it ran.
WindowTask CountedTask(std::atomic<bool>* ran = nullptr)
{
    return [payload = std::make_shared<CountedPayload>(), ran](MainWindow&) {
        if (ran != nullptr)
            *ran = true;
    };
}

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
        window.DeliverRegionList(Regions(3));
        SendMessageW(window.controls().regionButtons[2], BM_CLICK, 0, 0);
        ASSERT_EQ(window.state().selectedRegion, 2);
        window.state().busy = true;
        EnableWindow(window.controls().downloadButton, FALSE);

        window.DeliverRegionList(Regions(c.regionCount), c.connected, c.error);

        EXPECT_EQ(window.state().statusText, c.status);
        EXPECT_EQ(window.state().directoryConnected, c.connected);
        EXPECT_EQ(window.state().hasRegions, c.regionCount > 0);
        EXPECT_EQ(window.state().selectedRegion, -1) << "every list clears the choice";
        EXPECT_FALSE(window.state().busy);
        EXPECT_TRUE(IsWindowEnabled(window.controls().downloadButton));
        EXPECT_FALSE(IsWindowEnabled(window.controls().enterGameButton));
        for (int slot = 0; slot < kRegionButtonCount; ++slot) {
            const std::wstring expected = slot < c.regionCount ? L"分区" + std::to_wstring(slot + 1) : L"";
            EXPECT_EQ(Text(window.controls().regionButtons[static_cast<std::size_t>(slot)]), expected)
                << "slot " << slot;
        }
    }
}

TEST(RegionListResult, OnlyTheFirstStartsTheAutomaticUpdate)
{
    MainWindowUnderTest window;
    window.state().autoUpdatePending = true;
    window.DeliverRegionList(Regions(1));
    EXPECT_FALSE(window.state().autoUpdatePending) << "the first list started the automatic update";
    ASSERT_TRUE(PumpUntil([&] { return !window.state().updateRunning && !window.state().busy; }, 30000));

    window.DeliverRegionList(Regions(1));
    EXPECT_FALSE(window.state().updateRunning) << "a later list starts nothing";
    EXPECT_FALSE(window.state().busy);
    EXPECT_FALSE(window.state().autoUpdatePending);
}

TEST(StatusText, PostedTextReachesTheStatusLine)
{
    MainWindowUnderTest window;
    const std::wstring before = window.state().statusText;
    PostStatusText(window.object().workers, L"正在下载更新清单...");
    EXPECT_EQ(window.state().statusText, before) << "nothing changes before the message is handled";
    PumpPending();
    EXPECT_EQ(window.state().statusText, L"正在下载更新清单...");
}

TEST(Progress, BurstYieldsOneMessageShowingTheLastRecord)
{
    MainWindowUnderTest window;
    window.state().busy = true;
    window.state().updateRunning = true;

    std::thread reporter([&] {
        for (int i = 0; i <= 400; ++i) {
            vorn::UpdateProgress progress;
            progress.stage = vorn::UpdateStage::kDownloading;
            progress.current = static_cast<std::uint32_t>(i);
            progress.total = 400;
            progress.filePercent = i % 100;
            progress.overallPercent = i / 4;
            progress.file = L"Data\\file" + std::to_wstring(i) + L".pak";
            window.object().workers.PublishProgress(progress, kProgressNotice);
        }
    });
    reporter.join();

    EXPECT_EQ(DispatchQueuedTasks(), 1);
    EXPECT_EQ(window.state().uiProgress.file, L"Data\\file400.pak");
    EXPECT_EQ(window.state().uiProgress.current, 400u);
    EXPECT_EQ(window.state().uiProgress.filePercent, 0);
    EXPECT_EQ(window.state().progressPercent, 100);
    EXPECT_EQ(Text(window.controls().updateLabel), L"升级客户端文件（400/400），更新 0%，进度 100%") << "the label shows the last record";
    EXPECT_FALSE(window.object().workers.progressPending());

    // Handled, the next report posts again; the percent is taken as it comes.
    vorn::UpdateProgress beyond;
    beyond.overallPercent = 150;
    window.object().workers.PublishProgress(beyond, kProgressNotice);
    EXPECT_EQ(DispatchQueuedTasks(), 1);
    EXPECT_EQ(window.state().progressPercent, 150);

    // Once the window is closing the driver posts nothing more.
    window.object().workers.Close();
    window.object().workers.PublishProgress(beyond, kProgressNotice);
    EXPECT_EQ(DispatchQueuedTasks(), 0);
}

TEST(UpdateFinished, SuccessReleasesTheWindowAndHidesTheLabel)
{
    MessageBoxRecorder boxes({IDOK});
    MainWindowUnderTest window;
    window.DeliverRegionList(Regions(2));
    SendMessageW(window.controls().regionButtons[0], BM_CLICK, 0, 0);

    RunFakeUpdate(window.object(), Outcome(true, L"客户端已是最新版本。"), true);
    ASSERT_TRUE(PumpUntil([&] { return !window.state().updateRunning; }, kWait));
    EXPECT_FALSE(window.object().jobs.update.joinable());
    EXPECT_FALSE(window.state().busy);
    EXPECT_EQ(window.state().statusText, L"客户端已是最新版本。");
    EXPECT_FALSE(window.state().updateFailed);
    EXPECT_EQ(window.state().progressPercent, 100);
    EXPECT_FALSE(GetWindowLongW(window.controls().updateLabel, GWL_STYLE) & WS_VISIBLE);
    EXPECT_TRUE(IsWindowEnabled(window.controls().downloadButton));
    EXPECT_TRUE(IsWindowEnabled(window.controls().enterGameButton)) << "a region is chosen";
    EXPECT_TRUE(boxes.calls().empty());
}

TEST(UpdateFinished, FailureIsBoxedOnlyWhenThePlayerAsked)
{
    MessageBoxRecorder boxes({IDOK});
    MainWindowUnderTest window;

    RunFakeUpdate(window.object(), Outcome(false, L"下载更新清单失败。"), false);
    ASSERT_TRUE(PumpUntil([&] { return !window.state().updateRunning; }, kWait));
    EXPECT_TRUE(boxes.calls().empty()) << "the automatic check fails quietly";
    EXPECT_TRUE(window.state().updateFailed);
    EXPECT_EQ(window.state().statusText, L"下载更新清单失败。");
    EXPECT_TRUE(GetWindowLongW(window.controls().updateLabel, GWL_STYLE) & WS_VISIBLE)
        << "the label stays as the retry button";
    EXPECT_FALSE(IsWindowEnabled(window.controls().enterGameButton)) << "no region is chosen";

    RunFakeUpdate(window.object(), Outcome(false, L"校验文件失败：Data\\a.pak"), true);
    ASSERT_TRUE(PumpUntil([&] { return !window.state().updateRunning; }, kWait));
    ASSERT_EQ(boxes.calls().size(), 1u);
    EXPECT_EQ(boxes.calls()[0].text, L"校验文件失败：Data\\a.pak");
    EXPECT_EQ(boxes.calls()[0].caption, L"更新失败");
    EXPECT_EQ(boxes.calls()[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_FALSE(window.state().busy);
}

TEST(UpdateFinished, StagedLauncherOffersARestart)
{
    MessageBoxRecorder boxes({IDCANCEL, IDOK, IDOK});
    MainWindowUnderTest window;

    RunFakeUpdate(window.object(), Outcome(true, L"更新完成。", true), false);
    ASSERT_TRUE(PumpUntil([&] { return !window.state().updateRunning; }, kWait));
    ASSERT_EQ(boxes.calls().size(), 1u);
    EXPECT_EQ(boxes.calls()[0].text, L"登录器已更新，需要立即重新启动。");
    EXPECT_EQ(boxes.calls()[0].caption, L"重新启动登录器");
    EXPECT_EQ(boxes.calls()[0].type, static_cast<UINT>(MB_OKCANCEL | MB_ICONINFORMATION));
    EXPECT_TRUE(window.exists()) << "Cancel keeps the old launcher running";

    // OK, but there is no staged executable next to this one to start.
    RunFakeUpdate(window.object(), Outcome(true, L"更新完成。", true), false);
    ASSERT_TRUE(PumpUntil([&] { return !window.state().updateRunning; }, kWait));
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
    RunFakeUpdate(window.object(), Outcome(false, L"更新已取消。", true), true, true);

    SendMessageW(window.hwnd(), WM_CLOSE, 0, 0);
    ASSERT_EQ(boxes.calls().size(), 1u);
    EXPECT_EQ(boxes.calls()[0].caption, L"确认退出");
    EXPECT_TRUE(window.exists()) << "the update removes its staging folder first";
    EXPECT_TRUE(window.state().closePending);
    EXPECT_TRUE(window.object().workers.cancelled());
    EXPECT_EQ(window.state().statusText, L"正在取消下载并清理临时文件…");

    EXPECT_TRUE(PumpUntil([&] { return !window.exists(); }, kWait));
    EXPECT_EQ(boxes.calls().size(), 1u) << "neither the failure nor the staged launcher asks anything";
}

TEST(Ownership, NothingLeaksOnceTheWindowIsClosing)
{
    countedPayloadsFreed = 0;
    MainWindowUnderTest window;
    MainWindow& object = window.object();

    // Destroyed by other means while an update runs: the destruction joins the thread, whose post is refused.
    std::atomic<bool> threadEnded{false};
    object.state.busy = true;
    object.state.updateRunning = true;
    object.jobs.update = std::thread([&workers = object.workers, &threadEnded] {
        const ULONGLONG deadline = GetTickCount64() + kWait;
        while (!workers.cancelled() && GetTickCount64() < deadline)
            Sleep(5);
        workers.PostTask(CountedTask());
        threadEnded = true;
    });
    // Posted before the window started closing, never to run: the destruction frees them.
    PostStatusText(object.workers, L"正在下载更新清单...");
    std::atomic<bool> queuedRan{false};
    ASSERT_TRUE(object.workers.PostTask(CountedTask(&queuedRan)));

    DestroyWindow(window.hwnd());
    EXPECT_TRUE(threadEnded.load()) << "the destruction waited for the update thread";
    EXPECT_EQ(countedPayloadsFreed.load(), 2) << "the refused task and the queued one were freed";
    EXPECT_FALSE(queuedRan.load());
    EXPECT_FALSE(WorkerMessageQueued());
}

TEST(Ownership, ChannelFreesWhatItCannotDeliver)
{
    countedPayloadsFreed = 0;
    MainWindowUnderTest window;
    WorkerChannel workers;
    workers.Open(window.hwnd());

    // Once the window is closing nothing is posted; the poster frees the payload.
    workers.Close();
    EXPECT_FALSE(workers.PostTask(CountedTask()));
    PostStatusText(workers, L"不应显示");
    EXPECT_EQ(countedPayloadsFreed.load(), 1);
    EXPECT_FALSE(WorkerMessageQueued());

    // A post the system refuses (the window is gone) is freed too.
    workers.Open(window.hwnd());
    DestroyWindow(window.hwnd());
    PumpPending();
    EXPECT_FALSE(workers.PostTask(CountedTask()));
    EXPECT_EQ(countedPayloadsFreed.load(), 2);
    EXPECT_FALSE(WorkerMessageQueued());
}
