// The update job with the real main window and a real update site on loopback.

#include "base/config.h"
#include "base/paths.h"
#include "tests/support/http_site.h"
#include "tests/support/main_window_harness.h"
#include "tests/support/process_probe.h"
#include "ui/main_window.h"
#include "update/crc32.h"
#include "ui/paint_text.h"

#include <gtest/gtest.h>

using harness::MainWindowUnderTest;
using harness::MessageBoxRecorder;
using harness::PumpUntil;

namespace {

constexpr DWORD kUpdateWait = 60000;

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// An update site folder ("<site>/updates/") and a client folder, with the launcher pointed at both while the
// object lives.
class UpdateScene {
public:
    UpdateScene()
    {
        CreateDirectoryW((site_ / L"updates").c_str(), nullptr);
    }
    ~UpdateScene()
    {
        if (aimed_) {
            InstallConfig(std::move(savedConfig_));
            InstallClientRoot(savedRoot_);
        }
    }

    // Publishes files (relative path -> content) with a manifest listing them.
    void Publish(const std::vector<std::pair<std::wstring, std::string>>& files)
    {
        std::string manifest = "[Set]\r\nCount=" + std::to_string(files.size()) + "\r\n[up]\r\n";
        int n = 1;
        for (const auto& [path, content] : files) {
            const std::wstring published = site_ / (L"updates\\" + path);
            const std::size_t folderEnd = published.find_last_of(L'\\');
            CreateDirectoryW(published.substr(0, folderEnd).c_str(), nullptr);
            probe::WriteFileBytes(published, content);
            const std::string number = std::to_string(n++);
            manifest += "File" + number + "=" + Narrow(path) + "\r\nCFile" + number + "=" + Narrow(path) +
                        "\r\nXYZ" + number + "=" + Narrow(FormatCrc32(*FileCrc32(published))) + "\r\n";
        }
        probe::WriteFileBytes(site_ / L"updates\\up.ini", manifest);
    }

    // Points the launcher at the site and the client folder; call after the window exists.
    void Aim()
    {
        savedConfig_ = Config();
        savedRoot_ = ClientRoot();
        aimed_ = true;
        LauncherConfig config = Config();
        config.updateBaseUrl = site().BaseUrl() + L"updates/";
        InstallConfig(std::move(config));
        InstallClientRoot(client_.path());
    }

    probe::HttpSite& site() { return server_; }
    const probe::TempDir& client() const { return client_; }

    bool StagingLeft() const
    {
        WIN32_FIND_DATAW data;
        UniqueFind find(FindFirstFileW((client_ / L".vorn-update-*").c_str(), &data));
        return static_cast<bool>(find);
    }

private:
    probe::TempDir site_;
    probe::TempDir client_;
    probe::HttpSite server_{site_.path()};
    bool aimed_ = false;
    LauncherConfig savedConfig_;
    std::wstring savedRoot_;
};


bool WaitForUpdateEnd(const MainWindowUnderTest& window)
{
    return PumpUntil([&] { return !window.state().updateRunning && !window.state().busy; }, kUpdateWait);
}

bool Shown(HWND control)
{
    return (GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

std::wstring LabelText(const MainWindowUnderTest& window)
{
    return probe::Describe(window.controls().updateLabel).text;
}

}

TEST(UpdateStatusText, FirstMatchingRowWins)
{
    vorn::UpdateProgress progress;
    EXPECT_EQ(UpdateStatusText(progress, true, true), L"正在取消更新，请稍候…");
    EXPECT_EQ(UpdateStatusText(progress, false, true), L"更新失败，点击此处重试");
    EXPECT_EQ(UpdateStatusText(progress, false, false), L"正在读取客户端更新清单…");
    progress = {vorn::UpdateStage::kFinished, 0, 0, 100, 100, L""};
    EXPECT_EQ(UpdateStatusText(progress, false, false), L"客户端已是最新版本");
    progress = {vorn::UpdateStage::kFinished, 3, 3, 100, 100, L""};
    EXPECT_EQ(UpdateStatusText(progress, false, false), L"客户端文件更新完成");
    progress = {vorn::UpdateStage::kChecking, 2, 4000000000u, 0, 1, L"a"};
    EXPECT_EQ(UpdateStatusText(progress, false, false), L"检查客户端文件（2/4000000000）");
    progress.stage = vorn::UpdateStage::kInstalling;
    EXPECT_EQ(UpdateStatusText(progress, false, false), L"安装客户端文件（2/4000000000）");
    progress.stage = vorn::UpdateStage::kDownloading;
    EXPECT_EQ(UpdateStatusText(progress, false, false), L"升级客户端文件（2/4000000000）");
    progress.stage = vorn::UpdateStage::kVerifying;
    EXPECT_EQ(UpdateStatusText(progress, false, false), L"升级客户端文件（2/4000000000）");

    progress = {vorn::UpdateStage::kDownloading, 1, 1, -5, 137, L""};
    EXPECT_EQ(UpdateLabelText(L"X", progress), L"X，更新 -5%，进度 137%");

    EXPECT_EQ(DownloadStartedText(L"Data\\地图\\a.map"), L"正在更新：Data\\地图\\a.map...");
    EXPECT_EQ(UpdateSucceededText(0), L"客户端已是最新版本。");
    EXPECT_EQ(UpdateSucceededText(1), L"更新完成，共更新 1 个文件。");
}

TEST(UpdateJob, AutomaticCheckRunsOnceAfterTheFirstRegionList)
{
    UpdateScene scene;
    scene.Publish({{L"Data\\a.txt", "alpha"}});
    MainWindowUnderTest window;
    scene.Aim();
    CreateDirectoryW((scene.client() / L"Data").c_str(), nullptr);
    probe::WriteFileBytes(scene.client() / L"Data\\a.txt", "alpha");

    window.state().autoUpdatePending = true;
    window.DeliverRegionList({});
    ASSERT_TRUE(PumpUntil([&] { return window.state().updateRunning; }, 5000)) << "the first list started no update";
    ASSERT_TRUE(WaitForUpdateEnd(window));
    EXPECT_EQ(window.state().statusText, L"客户端已是最新版本。");
    EXPECT_EQ(window.state().progressPercent, 100);
    EXPECT_FALSE(Shown(window.controls().updateLabel));
    EXPECT_TRUE(IsWindowEnabled(window.controls().downloadButton));
    EXPECT_EQ(scene.site().CountRequests("/updates/up.ini"), 1u);

    window.DeliverRegionList({});
    harness::PumpPending();
    EXPECT_FALSE(window.state().updateRunning) << "a later list started another check";
    Sleep(300);
    EXPECT_EQ(scene.site().CountRequests("/updates/up.ini"), 1u);
    EXPECT_FALSE(scene.StagingLeft());
}

TEST(UpdateJob, ChangedFilesAreInstalledAndTheLabelFollowsTheProgress)
{
    UpdateScene scene;
    scene.Publish({{L"one.dat", std::string(300000, 'x')}, {L"two.dat", "second"}});
    MainWindowUnderTest window;
    scene.Aim();
    probe::WriteFileBytes(scene.client() / L"one.dat", "out of date");

    MessageBoxRecorder boxes({IDOK});
    SendMessageW(window.controls().downloadButton, BM_CLICK, 0, 0);
    EXPECT_TRUE(Shown(window.controls().updateLabel));
    EXPECT_FALSE(IsWindowEnabled(window.controls().downloadButton));
    ASSERT_TRUE(WaitForUpdateEnd(window));

    EXPECT_EQ(window.state().statusText, L"更新完成，共更新 2 个文件。");
    EXPECT_TRUE(probe::ReadFileBytes(scene.client() / L"one.dat") == std::string(300000, 'x'));
    EXPECT_EQ(probe::ReadFileBytes(scene.client() / L"two.dat"), "second");
    // The last progress record reached the label before the success hid it.
    EXPECT_EQ(window.state().uiProgress.stage, vorn::UpdateStage::kFinished);
    EXPECT_EQ(LabelText(window), L"客户端文件更新完成，更新 100%，进度 100%");
    EXPECT_FALSE(Shown(window.controls().updateLabel));
    EXPECT_TRUE(boxes.calls().empty());
    EXPECT_FALSE(scene.StagingLeft());
}

TEST(UpdateJob, FailureShowsTheRetryTextAndAClickRetriesWithMessageBoxes)
{
    UpdateScene scene;  // nothing published: the manifest is a 404
    MainWindowUnderTest window;
    scene.Aim();
    MessageBoxRecorder boxes({IDOK});

    window.state().autoUpdatePending = true;
    window.DeliverRegionList({});
    ASSERT_TRUE(PumpUntil([&] { return window.state().updateRunning; }, 5000));
    ASSERT_TRUE(WaitForUpdateEnd(window));
    EXPECT_TRUE(window.state().updateFailed);
    EXPECT_TRUE(Shown(window.controls().updateLabel));
    EXPECT_EQ(LabelText(window).rfind(L"更新失败，点击此处重试，更新 ", 0), 0u) << Narrow(LabelText(window));
    EXPECT_TRUE(boxes.calls().empty()) << "the automatic check failed aloud";
    EXPECT_FALSE(window.state().statusText.empty());
    EXPECT_EQ(scene.site().CountRequests("/updates/up.ini"), 1u) << Narrow(window.state().statusText);

    SendMessageW(window.hwnd(), WM_COMMAND, MAKEWPARAM(219, STN_CLICKED),
                 reinterpret_cast<LPARAM>(window.controls().updateLabel));
    ASSERT_TRUE(PumpUntil([&] { return window.state().updateRunning; }, 5000)) << "the label click started no check";
    ASSERT_TRUE(WaitForUpdateEnd(window));
    EXPECT_EQ(scene.site().CountRequests("/updates/up.ini"), 2u);
    ASSERT_EQ(boxes.calls().size(), 1u);
    EXPECT_EQ(boxes.calls()[0].caption, L"更新失败");
    EXPECT_EQ(boxes.calls()[0].text, window.state().statusText);
    EXPECT_EQ(boxes.calls()[0].type & MB_ICONMASK, static_cast<UINT>(MB_ICONERROR));
}

TEST(UpdateJob, ClosingDuringADownloadWaitsForTheTransactionAndLeavesNoStaging)
{
    UpdateScene scene;
    scene.Publish({{L"big.dat", std::string(4 << 20, 'b')}});
    probe::HttpScript slow;
    slow.body = std::string(4 << 20, 'b');
    slow.chunkBytes = 16384;
    slow.pauseBetweenChunksMs = 50;
    scene.site().Script("/updates/big.dat", slow);
    MainWindowUnderTest window;
    scene.Aim();
    MessageBoxRecorder boxes({IDYES});  // "close while busy?" — yes

    SendMessageW(window.controls().downloadButton, BM_CLICK, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return scene.site().CountRequests("/updates/big.dat") > 0; }, 20000));
    PostMessageW(window.hwnd(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return window.state().closePending; }, 5000));
    EXPECT_TRUE(window.exists()) << "the window closed before the download stopped";
    EXPECT_EQ(window.state().statusText, L"正在取消下载并清理临时文件…");
    EXPECT_EQ(LabelText(window).rfind(L"正在取消更新，请稍候…", 0), 0u);

    ASSERT_TRUE(PumpUntil([&] { return !window.exists(); }, kUpdateWait)) << "the window never closed";
    ASSERT_EQ(boxes.calls().size(), 1u) << "only the close confirmation";
    EXPECT_EQ(boxes.calls()[0].caption, L"确认退出");
    EXPECT_FALSE(scene.StagingLeft());
    EXPECT_FALSE(probe::FileExists(scene.client() / L"big.dat"));
}
