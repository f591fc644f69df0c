// The real launcher executable started as a process under Wine and watched from outside.

#include "tests/support/loopback_peer.h"
#include "tests/support/process_probe.h"
#include "update/install_staged_file.h"
#include "update/staging_directory.h"

#include "base/config.h"
#include "base/unique_resource.h"
#include "launch/region_list.h"
#include "net/line_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>

using namespace probe;

namespace {

constexpr DWORD kWindowWait = 20000;

// A client folder holding a copy of the launcher, so each test owns its own executable path.
class ClientFolder {
public:
    ClientFolder()
    {
        if (!CopyFileW(LauncherExe().c_str(), exe().c_str(), FALSE))
            throw std::runtime_error("cannot copy the launcher");
    }
    std::wstring exe() const { return dir_ / L"VornLauncher.exe"; }
    const TempDir& dir() const { return dir_; }

private:
    TempDir dir_;
};

// Starts the launcher and closes it at scope exit, as a player would.
class RunningLauncher {
public:
    explicit RunningLauncher(const std::wstring& exe, const std::wstring& arguments = L"")
        : process_(Start(exe, arguments))
    {
        window_ = WaitTopWindow(process_.id, L"VornLauncherWindow", L"", kWindowWait);
    }
    ~RunningLauncher()
    {
        if (window_ == nullptr || CloseAnsweringYes(window_, process_.handle.get(), 20000) == STILL_ACTIVE)
            Kill(process_);
    }
    HWND window() const { return window_; }
    const Process& process() const { return process_; }

private:
    Process process_;
    HWND window_ = nullptr;
};

// A start that stops before any window: one message box, and once it is answered the exit code of that stop.
void ExpectStopWithMessage(const Process& process, const wchar_t* caption, const wchar_t* text, DWORD exitCode)
{
    const MessageBoxInfo box = WaitMessageBox(process.id, kWindowWait);
    ASSERT_NE(box.hwnd, nullptr) << "the launcher showed no message";
    EXPECT_EQ(box.caption, caption);
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(FindTopWindow(process.id, L"VornLauncherWindow", L""), nullptr);
    EXPECT_TRUE(PressButton(box.hwnd, IDOK));
    EXPECT_EQ(WaitExit(process, 10000), exitCode);
}

}

TEST(Startup, WindowIsCentredBorderlessAndCaptioned)
{
    ClientFolder client;
    RunningLauncher launcher(client.exe());
    ASSERT_NE(launcher.window(), nullptr) << "the launcher showed no main window";

    const WindowInfo info = Describe(launcher.window());
    EXPECT_EQ(info.text, BuildDefaultConfig().windowTitle);
    EXPECT_EQ(info.rect.right - info.rect.left, 1040);
    EXPECT_EQ(info.rect.bottom - info.rect.top, 665);
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_EQ(info.rect.left, work.left + (work.right - work.left - 1040) / 2);
    EXPECT_EQ(info.rect.top, work.top + (work.bottom - work.top - 665) / 2);
    EXPECT_TRUE(info.style & WS_POPUP);
    EXPECT_FALSE(info.style & WS_CAPTION);
    EXPECT_FALSE(info.style & WS_THICKFRAME);
}

TEST(Startup, ClosingTheWindowEndsWithExitCodeZero)
{
    ClientFolder client;
    Process process = Start(client.exe());
    HWND window = WaitTopWindow(process.id, L"VornLauncherWindow", L"", kWindowWait);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(CloseAnsweringYes(window, process.handle.get(), 20000), 0u);
    Kill(process);
}

// Closing while the region list loads closes at once: the load is abandoned, however long the directory (here
// one that never answers a connect) would keep it waiting. Under Wine closing costs about 2 s for each window
// that goes (the confirmation and the main window); waiting for the load would cost its whole deadline more.
TEST(Startup, ClosingDuringTheRegionListLoadEndsAtOnce)
{
    const NeverAcceptingListener directory(kDirectoryPort);
    ASSERT_TRUE(directory.full()) << "port 33556 is taken, or its queue could not be filled";
    ClientFolder client;
    Process process = Start(client.exe());
    const ScopeExit stop([&process] { Kill(process); });
    HWND window = WaitTopWindow(process.id, L"VornLauncherWindow", L"", kWindowWait);
    ASSERT_NE(window, nullptr);

    const ULONGLONG closing = GetTickCount64();
    EXPECT_EQ(CloseAnsweringYes(window, process.handle.get(), 20000), 0u);
    EXPECT_LT(GetTickCount64() - closing, kExchangeDeadlineMs) << "closing waited for the load";
}

// Wine's choice, for the launcher's executable name in this prefix, to load a gdiplus.dll found beside the program
// before its own; taken back at scope exit, so launchers of other tests (with no such file) are not touched.
class NativeGdiplusForTheLauncher {
public:
    NativeGdiplusForTheLauncher()
    {
        UniqueRegKey key;
        const std::wstring value = L"native,builtin";
        ok_ = RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) ==
                  ERROR_SUCCESS &&
              RegSetValueExW(key.get(), L"gdiplus", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    NativeGdiplusForTheLauncher(const NativeGdiplusForTheLauncher&) = delete;
    NativeGdiplusForTheLauncher& operator=(const NativeGdiplusForTheLauncher&) = delete;
    ~NativeGdiplusForTheLauncher() { RegDeleteTreeW(HKEY_CURRENT_USER, kAppKey); }
    bool ok() const { return ok_; }

private:
    static constexpr wchar_t kAppKey[] = L"Software\\Wine\\AppDefaults\\VornLauncher.exe";
    static constexpr wchar_t kKey[] = L"Software\\Wine\\AppDefaults\\VornLauncher.exe\\DllOverrides";
    bool ok_ = false;
};

// A GDI+ that cannot start (a gdiplus.dll beside the launcher whose start-up fails): the player is told, and the
// launcher ends with the start-up failure's own code.
TEST(Startup, GdiplusThatCannotStartEndsWithExitCodeTwo)
{
    ClientFolder client;
    ASSERT_TRUE(CopyFileW((BinDir() + L"\\failing-gdiplus\\gdiplus.dll").c_str(),
                          (client.dir() / L"gdiplus.dll").c_str(), FALSE));
    const NativeGdiplusForTheLauncher nativeGdiplus;
    ASSERT_TRUE(nativeGdiplus.ok());
    Process process = Start(client.exe());
    const ScopeExit stop([&process] { Kill(process); });

    ExpectStopWithMessage(process, L"初始化失败", L"图形界面初始化失败。", 2);
}

TEST(Startup, SecondInstanceIsRefusedAndTheFirstKeepsRunning)
{
    ClientFolder client;
    RunningLauncher first(client.exe());
    ASSERT_NE(first.window(), nullptr);

    Process second = Start(client.exe());
    ExpectStopWithMessage(second, L"Vorn 岚谷登录器", L"登录器已经在运行。", 0);
    Kill(second);

    EXPECT_EQ(WaitForSingleObject(first.process().handle.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(IsWindow(first.window()));
}

TEST(Startup, SelfUpdateLeftoversAreDeleted)
{
    ClientFolder client;
    const std::wstring staged = client.exe() + L".new";
    const std::wstring halfCopied = client.exe() + L".partial";
    WriteFileBytes(staged, "left over from an earlier self-update");
    WriteFileBytes(halfCopied, "MZ and half of a launcher");
    RunningLauncher launcher(client.exe());
    ASSERT_NE(launcher.window(), nullptr);
    EXPECT_FALSE(FileExists(staged));
    EXPECT_FALSE(FileExists(halfCopied));
}

TEST(Startup, IncompleteSelfUpdateFormsStartNormally)
{
    ClientFolder client;
    for (const wchar_t* arguments : {L"--apply-update", L"--apply-update C:\\x.exe", L"--apply-update a b c"}) {
        RunningLauncher launcher(client.exe(), arguments);
        EXPECT_NE(launcher.window(), nullptr) << "no window with arguments: " << arguments;
    }
}

namespace {

// The names of the folders directly in `folder` that begin like a staging folder, in any letter case.
std::vector<std::wstring> StagingLikeFolders(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
        const std::wstring name = item.path().filename().wstring();
        if (item.is_directory() && _wcsnicmp(name.c_str(), L".vorn-update-", 13) == 0)
            names.push_back(name);
    }
    return names;
}

}

// A launcher killed while its update downloads leaves its staging folder; the next start of the same client
// removes it, and nothing that merely looks like one.
TEST(Startup, StagingFoldersOfKilledLaunchersAreRemovedAtTheNextStart)
{
    ClientFolder client;
    {
        // The compiled-in update site: a manifest that announces far more than it ever sends.
        probe::LoopbackPeer site(
            [](PeerConnection& c) {
                c.ReadLine();
                if (c.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n[Set]\r\nCount=1\r\n"))
                    c.WaitClientClose(60000);
            },
            AF_INET, "127.0.0.1", 80);
        ASSERT_TRUE(site.listening()) << "port 80 is taken";
        // Twice, each killed once its own staging folder is there.
        std::vector<std::wstring> killed;
        for (int run = 0; run < 2; ++run) {
            Process launcher = Start(client.exe());
            const ULONGLONG deadline = GetTickCount64() + kWindowWait;
            const auto hasNew = [&] {
                for (const std::wstring& name : StagingLikeFolders(client.dir().path())) {
                    if (std::find(killed.begin(), killed.end(), name) == killed.end()) {
                        killed.push_back(name);
                        return true;
                    }
                }
                return false;
            };
            while (!hasNew() && GetTickCount64() < deadline)
                Sleep(100);
            Kill(launcher);
            ASSERT_EQ(killed.size(), static_cast<std::size_t>(run + 1)) << "the update did not start";
        }
    }
    const std::vector<std::wstring> lookAlikes = {L".vorn-update-1-2", L".vorn-update-1-2-3x", L".VORN-UPDATE-1-2-3",
                                                  L".vorn-update--1-2-3"};
    for (const std::wstring& name : lookAlikes)
        CreateDirectoryW((client.dir() / name).c_str(), nullptr);
    CreateDirectoryW((client.dir() / L"Data").c_str(), nullptr);
    CreateDirectoryW((client.dir() / L"Data\\.vorn-update-1-2-3").c_str(), nullptr);
    WriteFileBytes(client.dir() / L".vorn-update-4-5-6", "a file of that name is no staging folder");

    {
        RunningLauncher launcher(client.exe());
        ASSERT_NE(launcher.window(), nullptr);
    }
    std::vector<std::wstring> remaining = StagingLikeFolders(client.dir().path());
    std::sort(remaining.begin(), remaining.end());
    std::vector<std::wstring> expected = lookAlikes;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(remaining, expected);
    EXPECT_TRUE(FileExists(client.dir() / L"Data\\.vorn-update-1-2-3"));
    EXPECT_TRUE(FileExists(client.dir() / L".vorn-update-4-5-6"));
}

// Two players share one client folder: the other one's launcher is in the middle of an update (its staging folder
// and the lock it holds, here this test's) when this one starts. Only the folder nobody holds goes.
TEST(Startup, AStagingFolderAnotherLauncherHoldsIsLeftAlone)
{
    ClientFolder client;
    const StagingDirectoryGuard other(std::move(*CreateStagingDirectory(client.dir().path())));
    const std::wstring download = other.folder() + L"\\0";
    WriteFileBytes(download, "half of the other player's download");
    const std::wstring gone = client.dir() / L".vorn-update-7-8-9";
    CreateDirectoryW(gone.c_str(), nullptr);
    WriteFileBytes(gone + L"\\0", "left by a launcher that was killed");
    WriteFileBytes(gone + L"\\lock", "a lock file that nobody holds open");

    {
        RunningLauncher launcher(client.exe());
        ASSERT_NE(launcher.window(), nullptr);
    }
    EXPECT_EQ(ReadFileBytes(download), "half of the other player's download");
    EXPECT_FALSE(FileExists(gone));
}

// A launcher killed in the middle of its install pass: one client file replaced, one added, one not yet reached.
// The next start puts the client back to the old release before it removes the staging folder.
TEST(Startup, AnInstallCutShortByAKillIsUndoneAtTheNextStart)
{
    ClientFolder client;
    CreateDirectoryW((client.dir() / L"Data").c_str(), nullptr);
    WriteFileBytes(client.dir() / L"Data\\a.bmd", "the old a");
    WriteFileBytes(client.dir() / L"Main.exe", "the old game");
    StagingFolder staging = std::move(*CreateStagingDirectory(client.dir().path()));
    const std::vector<StagedMove> moves = {{staging.path + L"\\0", client.dir() / L"Data\\a.bmd"},
                                           {staging.path + L"\\1", client.dir() / L"Data\\New\\b.bmd"},
                                           {staging.path + L"\\2", client.dir() / L"Main.exe"}};
    WriteFileBytes(moves[0].stagedPath, "the new a");
    WriteFileBytes(moves[1].stagedPath, "the new b");
    WriteFileBytes(moves[2].stagedPath, "the new game");
    auto pass = std::make_unique<InstallPass>(moves, staging.path);
    const vorn::Status checked = pass->CheckReplaceable();
    ASSERT_TRUE(checked) << checked.message().c_str();
    ASSERT_TRUE(pass->Move(0));
    ASSERT_TRUE(pass->Move(1));
    // The kill: the pass never undoes anything, and the lock goes with the process.
    static_cast<void>(pass.release());
    staging.lock.reset();
    ASSERT_EQ(ReadFileBytes(client.dir() / L"Data\\a.bmd"), "the new a");

    {
        RunningLauncher launcher(client.exe());
        ASSERT_NE(launcher.window(), nullptr);
    }
    EXPECT_EQ(ReadFileBytes(client.dir() / L"Data\\a.bmd"), "the old a");
    EXPECT_FALSE(FileExists(client.dir() / L"Data\\New\\b.bmd"));
    EXPECT_EQ(ReadFileBytes(client.dir() / L"Main.exe"), "the old game");
    EXPECT_FALSE(FileExists(staging.path));
}
