// The main window's background jobs driven through the real window: one job at a time, the buttons and the
// status line while a job runs, and a window that keeps answering while a region's service keeps it waiting.

#include "base/text.h"
#include "launch/region_list.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/main_window_harness.h"
#include "ui/main_window.h"
#include "ui/jobs.h"
#include "ui/painting.h"
#include "ui/region_list_job.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <thread>

using harness::MainWindowUnderTest;
using harness::MessageBoxRecorder;
using harness::PumpPending;
using harness::PumpUntil;

namespace {

constexpr DWORD kWait = 30000;
// The longest a player may wait for the window to answer while a job runs.
constexpr DWORD kAnswerWithinMs = 2000;

std::optional<std::wstring> SavedGameAccount()
{
    wchar_t text[256] = {};
    DWORD size = sizeof(text);
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Quillon\\Tessary\\Config", L"ID", RRF_RT_REG_SZ, nullptr, text,
                     &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(text);
}

// Asks the window WM_NULL again and again from another thread, as the system does to see whether a window
// hangs, and keeps the longest answer time; a missed answer counts as the whole limit and more.
class AnswerWatch {
public:
    explicit AnswerWatch(HWND window)
        : thread_([this, window] {
              while (!stop_.load()) {
                  const ULONGLONG sent = GetTickCount64();
                  DWORD_PTR result = 0;
                  const bool answered = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, kAnswerWithinMs,
                                                            &result) != 0;
                  const ULONGLONG took = answered ? GetTickCount64() - sent : kAnswerWithinMs + 1;
                  longest_.store(std::max<ULONGLONG>(longest_.load(), took));
                  asked_.fetch_add(1);
                  Sleep(50);
              }
              finished_.store(true);
          })
    {
    }
    AnswerWatch(const AnswerWatch&) = delete;
    AnswerWatch& operator=(const AnswerWatch&) = delete;
    ~AnswerWatch() { Stop(); }

    // On the window's thread, which answers the question still on its way while it waits: a plain join would
    // leave that question to time out and count it as the window hanging.
    void Stop()
    {
        stop_.store(true);
        PumpUntil([this] { return finished_.load(); }, 2 * kAnswerWithinMs);
        if (thread_.joinable())
            thread_.join();
    }
    ULONGLONG longest() const { return longest_.load(); }
    int asked() const { return asked_.load(); }

private:
    std::atomic<bool> stop_{false};
    std::atomic<ULONGLONG> longest_{0};
    std::atomic<int> asked_{0};
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

void DeliverRegion(const MainWindowUnderTest& window, std::uint16_t port)
{
    window.DeliverRegionList(harness::RegionsNamed({L"一区"}, port));
}

void Click(const MainWindowUnderTest& window, int id)
{
    SendMessageW(window.hwnd(), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(window.control(id)));
}

}

TEST(RegionListJob, OneLoadAtATimeWithTheButtonsDisabledUntilItsFinish)
{
    // The harness configures no directory host, so the load reports at once; the slot stays taken until the
    // window has handled that report.
    MainWindowUnderTest window;
    StartRegionListLoad(window.object());
    EXPECT_TRUE(window.state().busy);
    EXPECT_EQ(window.state().statusText, kLoadingRegionsText);
    EXPECT_FALSE(IsWindowEnabled(window.controls().downloadButton));
    EXPECT_FALSE(IsWindowEnabled(window.controls().enterGameButton));
    EnableWindow(window.controls().downloadButton, TRUE);
    StartRegionListLoad(window.object());  // refused: the buttons are left alone
    EXPECT_TRUE(IsWindowEnabled(window.controls().downloadButton));

    ASSERT_TRUE(PumpUntil([&] { return !window.state().busy; }, kWait));
    EXPECT_EQ(window.state().statusText, kNoServerHostText);
    EXPECT_TRUE(IsWindowEnabled(window.controls().downloadButton));
}

// A region's service that accepts the connection and never says a word: the exchange runs on the window's job
// thread, the window answers throughout, and the player sees the same outcome as ever. The status line names the
// launch without the percent the last update left behind.
TEST(LaunchJob, WindowAnswersWhileASilentServiceKeepsTheLaunchWaiting)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quillon\\Tessary\\Config");
    probe::RequestLog requests;
    // It holds each connection until the launcher gives up on it, then takes the next.
    const probe::LoopbackPeer silent([&requests](probe::PeerConnection& c) {
        requests.Add(c.ReadLine());
        c.WaitClientClose(60000);
    });
    ASSERT_TRUE(silent.listening());
    MainWindowUnderTest window;
    MessageBoxRecorder boxes({IDOK});
    window.object().settings.account = L"  player one\t";
    window.state().progressPercent = 100;  // as a successful update leaves it
    DeliverRegion(window, silent.port());
    Click(window, kFirstRegionButtonId);
    ASSERT_TRUE(IsWindowEnabled(window.controls().enterGameButton));

    AnswerWatch watch(window.hwnd());
    Click(window, kEnterGameButtonId);
    EXPECT_TRUE(window.state().busy);
    EXPECT_FALSE(IsWindowEnabled(window.controls().enterGameButton));
    EXPECT_FALSE(IsWindowEnabled(window.controls().downloadButton));
    EXPECT_EQ(StatusLineOf(window.state()), L"正在请求游戏分区启动认证：一区");
    // The settings are stored before anything goes over the network.
    EXPECT_EQ(SavedGameAccount(), L"player one");

    ASSERT_TRUE(PumpUntil([&] { return !boxes.calls().empty(); }, kWait));
    watch.Stop();
    EXPECT_GT(watch.asked(), 10);
    EXPECT_LE(watch.longest(), kAnswerWithinMs) << "the window stopped answering during the exchange";

    ASSERT_EQ(boxes.calls().size(), 1u);
    EXPECT_EQ(boxes.calls()[0].text, L"服务器启动认证失败：服务器无响应。");
    EXPECT_EQ(boxes.calls()[0].caption, L"无法启动游戏");
    EXPECT_EQ(boxes.calls()[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(boxes.calls()[0].owner, window.hwnd());
    EXPECT_FALSE(window.state().busy);
    EXPECT_FALSE(window.object().jobs.launch.joinable());
    EXPECT_TRUE(IsWindowEnabled(window.controls().enterGameButton));
    EXPECT_EQ(StatusLineOf(window.state()), L"已选择游戏分区：一区");
    EXPECT_FALSE(IsIconic(window.hwnd()));

    const std::vector<std::string> lines = requests.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "CAPTCHA");
    const std::vector<std::wstring> fields = SplitFields(Utf8ToWide(lines[1]), L'\t');
    ASSERT_EQ(fields.size(), 7u);
    EXPECT_EQ(fields[4], L"player one");
}

TEST(LaunchJob, PressesWhileAJobRunsAndChecksBeforeTheNetworkStartNothing)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quillon\\Tessary\\Config");
    MainWindowUnderTest window;
    MessageBoxRecorder boxes({IDOK});

    // No regions: the player is told, nothing is stored, no job starts.
    Click(window, kEnterGameButtonId);
    ASSERT_EQ(boxes.calls().size(), 1u);
    EXPECT_EQ(boxes.calls()[0].text, L"暂无可用游戏分区。请先配置并启动多区列表服务端。");
    EXPECT_FALSE(window.state().busy);
    EXPECT_FALSE(SavedGameAccount().has_value());

    // Another job holds the slot: the press is dropped without a word.
    DeliverRegion(window, 1);
    Click(window, kFirstRegionButtonId);
    window.state().busy = true;
    Click(window, kEnterGameButtonId);
    window.state().busy = false;
    EXPECT_EQ(boxes.calls().size(), 1u);
    EXPECT_FALSE(window.object().jobs.launch.joinable());
    EXPECT_FALSE(SavedGameAccount().has_value());
}

TEST(LaunchJob, ClosingDuringTheExchangeWaitsForItsEndAndShowsNothingMore)
{
    const probe::LoopbackPeer silent([](probe::PeerConnection& c) {
        c.ReadLine();
        c.Pause(60000);
    });
    ASSERT_TRUE(silent.listening());
    MainWindowUnderTest window;
    MessageBoxRecorder boxes({IDYES});
    DeliverRegion(window, silent.port());
    Click(window, kFirstRegionButtonId);
    Click(window, kEnterGameButtonId);
    ASSERT_TRUE(window.object().jobs.launch.joinable());

    PostMessageW(window.hwnd(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return window.state().closePending; }, kWait));
    EXPECT_TRUE(window.exists()) << "the window closed before the exchange ended";
    ASSERT_TRUE(PumpUntil([&] { return !window.exists(); }, kWait)) << "the window never closed";
    ASSERT_EQ(boxes.calls().size(), 1u) << "only the close confirmation";
    EXPECT_EQ(boxes.calls()[0].caption, L"确认退出");
}
