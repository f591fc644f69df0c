// The staged executable's side of the self-update, run as real processes: the launcher copied as
// "<exe>.new" and started with "--apply-update".

#include "tests/support/reference_service.h"

#include "tests/support/process_probe.h"
#include "update/self_update.h"

#include <gtest/gtest.h>

using namespace probe;

namespace {

// Ends every launcher window the test left behind (they run in the test's own Wine session).
void CloseLaunchers()
{
    while (HWND window = FindTopWindow(0, L"VornLauncherWindow", L"")) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, pid));
        if (!process)
            break;
        if (CloseAnsweringYes(window, process.get(), 15000) == STILL_ACTIVE) {
            TerminateProcess(process.get(), 99);
            WaitForSingleObject(process.get(), 5000);
        }
    }
}

struct StagedUpdate {
    TempDir dir;
    std::wstring target = dir / L"VornLauncher.exe";
    std::wstring staged = target + L".new";

    StagedUpdate()
    {
        WriteFileBytes(target, "the old launcher");
        if (!CopyFileW(LauncherExe().c_str(), staged.c_str(), FALSE))
            throw std::runtime_error("cannot stage the launcher");
    }
};

}

TEST(SelfUpdateCommandLine, SplitsIntoTheFourArgumentsTheEntryPointReads)
{
    const std::wstring line =
        BuildSelfUpdateCommandLine(L"C:\\Vorn Games\\VornLauncher.exe.new", L"C:\\Vorn Games\\VornLauncher.exe", 4242);
    EXPECT_EQ(line, L"\"C:\\Vorn Games\\VornLauncher.exe.new\" --apply-update \"C:\\Vorn Games\\VornLauncher.exe\" 4242");
    int count = 0;
    UniqueLocal argv(CommandLineToArgvW(line.c_str(), &count));
    ASSERT_EQ(count, 4);
    auto** args = static_cast<LPWSTR*>(argv.get());
    EXPECT_STREQ(args[1], L"--apply-update");
    EXPECT_STREQ(args[2], L"C:\\Vorn Games\\VornLauncher.exe");
    EXPECT_STREQ(args[3], L"4242");
}

TEST(SelfUpdateCommandLine, ProcessIdIsReadLikeWcstoul)
{
    EXPECT_EQ(ParseProcessId(L"4242"), 4242u);
    EXPECT_EQ(ParseProcessId(L"  17abc"), 17u);
    EXPECT_EQ(ParseProcessId(L"abc"), 0u);
    EXPECT_EQ(ParseProcessId(L""), 0u);
    EXPECT_EQ(ParseProcessId(L"99999999999999999999"), 0u);
}

TEST(CompleteSelfUpdate, WithoutAProcessToWaitForCopiesOverTheTargetAndStartsIt)
{
    StagedUpdate update;
    Process process = Start(update.staged, L"--apply-update \"" + update.target + L"\" not-a-number");
    EXPECT_EQ(WaitExit(process, 30000), 0u);
    EXPECT_EQ(ReadFileBytes(update.target), ReadFileBytes(LauncherExe()));

    // The restarted launcher is an ordinary start: it shows its window and removes the staged copy.
    HWND window = WaitTopWindow(0, L"VornLauncherWindow", L"", 20000);
    EXPECT_NE(window, nullptr) << "the replaced launcher was not started";
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (FileExists(update.staged) && GetTickCount64() < deadline)
        Sleep(100);
    EXPECT_FALSE(FileExists(update.staged));
    CloseLaunchers();
}

TEST(CompleteSelfUpdate, WaitsForTheOldLauncherToExit)
{
    StagedUpdate update;
    Process old = Start(LauncherExe());
    ASSERT_NE(WaitTopWindow(old.id, L"VornLauncherWindow", L"", 20000), nullptr);

    Process process = Start(update.staged, L"--apply-update \"" + update.target + L"\" " + std::to_wstring(old.id));
    Sleep(1500);
    EXPECT_EQ(WaitExit(process, 0), static_cast<DWORD>(STILL_ACTIVE)) << "did not wait for the old launcher";
    EXPECT_EQ(ReadFileBytes(update.target), "the old launcher");

    EXPECT_EQ(CloseAnsweringYes(FindTopWindow(old.id, L"VornLauncherWindow", L""), old.handle.get(), 15000), 0u);
    EXPECT_EQ(WaitExit(process, 30000), 0u);
    EXPECT_EQ(ReadFileBytes(update.target), ReadFileBytes(LauncherExe()));
    EXPECT_NE(WaitTopWindow(0, L"VornLauncherWindow", L"", 20000), nullptr) << "the replaced launcher was not started";
    CloseLaunchers();
}

TEST(CompleteSelfUpdate, GivesUpWithExitCodeTwoWhenTheTargetStaysLocked)
{
    StagedUpdate update;
    UniqueFile lock(CreateFileW(update.target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock);
    Process process = Start(update.staged, L"--apply-update \"" + update.target + L"\" 0");
    const MessageBoxInfo box = WaitMessageBox(process.id, 40000);
    ASSERT_NE(box.hwnd, nullptr) << "the player was not told";
    EXPECT_EQ(box.text.rfind(L"登录器更新失败：无法替换文件：VornLauncher.exe（错误码 ", 0), 0u) << box.text;
    EXPECT_TRUE(PressButton(box.hwnd, IDOK));
    EXPECT_EQ(WaitExit(process, 10000), 2u);
    lock.reset();
    EXPECT_EQ(ReadFileBytes(update.target), "the old launcher");
    EXPECT_TRUE(FileExists(update.staged));
    EXPECT_EQ(FindTopWindow(0, L"VornLauncherWindow", L""), nullptr) << "started something after giving up";
    CloseLaunchers();
}

namespace {

// Started suspended, so it never runs: a process for the helper to wait for until the test ends it.
struct IdleProcess {
    PROCESS_INFORMATION info{};
    UniqueHandle process;
    UniqueHandle thread;

    IdleProcess()
    {
        std::wstring commandLine = L"\"" + LauncherExe() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                            &startup, &info))
            throw std::runtime_error("cannot start an idle process");
        process.reset(info.hProcess);
        thread.reset(info.hThread);
    }
    ~IdleProcess() { End(); }
    void End()
    {
        TerminateProcess(process.get(), 0);
        WaitForSingleObject(process.get(), 5000);
    }
};

// Caps the size of any file the processes whose command line holds `pattern` may write (the system's file-size
// limit, as a full disk would stop them), through the Linux tools beside Wine; true once it is applied.
bool CapFileSizeOf(const std::wstring& pattern, std::size_t bytes, const TempDir& scratch)
{
    const std::wstring done = scratch / L"capped";
    const std::wstring script = L"for p in $(pgrep -f '" + pattern + L"'); do prlimit --pid $p --fsize=" +
                                std::to_wstring(bytes) + L"; done; touch '" + UnixPathOf(done) + L"'";
    if (!StartLinuxProgram(L"/bin/sh", L"-c \"" + script + L"\""))
        return false;
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (!FileExists(done) && GetTickCount64() < deadline)
        Sleep(100);
    return FileExists(done);
}

}

// The helper's copy stops half-way: the file system refuses to let it grow a file past half the launcher's size.
// The launcher in place stays whole and runnable.
TEST(CompleteSelfUpdate, CopyThatStopsHalfWayLeavesTheOldLauncherWholeAndRunnable)
{
    TempDir dir;
    const std::wstring target = dir / L"VornLauncher.exe";
    const std::wstring staged = target + L".new";
    const std::string launcher = ReadFileBytes(LauncherExe());
    WriteFileBytes(target, launcher);
    // The staged launcher differs from the one in place by data after its image, so a finished copy shows.
    WriteFileBytes(staged, launcher + std::string(256 * 1024, 'N'));

    const struct LaunchersClosed {
        ~LaunchersClosed() { CloseLaunchers(); }
    } launchersClosed;
    IdleProcess oldLauncher;
    Process helper =
        Start(staged, L"--apply-update \"" + target + L"\" " + std::to_wstring(oldLauncher.info.dwProcessId));
    const std::wstring folderName = dir.path().substr(dir.path().find_last_of(L'\\') + 1);
    ASSERT_TRUE(CapFileSizeOf(folderName + L".VornLauncher.exe.new.*--apply-update", launcher.size() / 2, dir));
    oldLauncher.End();

    // The helper either ends (a crash) or tells the player and starts the old launcher again.
    const ULONGLONG deadline = GetTickCount64() + 40000;
    MessageBoxInfo box;
    while (WaitExit(helper, 0) == STILL_ACTIVE && !box.hwnd && GetTickCount64() < deadline)
        box = WaitMessageBox(helper.id, 200);
    const std::string inPlace = ReadFileBytes(target);
    EXPECT_TRUE(inPlace == launcher) << "the launcher in place was damaged: " << inPlace.size() << " of "
                                     << launcher.size() << " bytes";
    if (box.hwnd) {
        EXPECT_NE(box.text.find(L"已重新启动原来的登录器"), std::wstring::npos) << box.text;
        EXPECT_NE(WaitTopWindow(0, L"VornLauncherWindow", L"", 20000), nullptr) << "the old launcher was not started";
        PressButton(box.hwnd, IDOK);
    }
    EXPECT_NE(WaitExit(helper, 10000), static_cast<DWORD>(STILL_ACTIVE));
    Kill(helper);
    CloseLaunchers();

    Process again = Start(target);
    EXPECT_NE(WaitTopWindow(again.id, L"VornLauncherWindow", L"", 20000), nullptr) << "the launcher does not start";
}

// When the new launcher cannot be written beside the old one (here the name is taken by a folder), the old
// launcher is started again and the player is told.
TEST(CompleteSelfUpdate, FailedCopyRestartsTheOldLauncherAndTellsThePlayer)
{
    const struct LaunchersClosed {
        ~LaunchersClosed() { CloseLaunchers(); }
    } launchersClosed;
    TempDir dir;
    const std::wstring target = dir / L"VornLauncher.exe";
    const std::string launcher = ReadFileBytes(LauncherExe());
    WriteFileBytes(target, launcher);
    WriteFileBytes(target + L".new", launcher + std::string(1024, 'N'));
    ASSERT_TRUE(CreateDirectoryW((target + L".partial").c_str(), nullptr));

    Process helper = Start(target + L".new", L"--apply-update \"" + target + L"\" 0");
    const MessageBoxInfo box = WaitMessageBox(helper.id, 40000);
    ASSERT_NE(box.hwnd, nullptr) << "the player was not told";
    EXPECT_EQ(box.caption, L"Vorn 岚谷登录器");
    EXPECT_EQ(box.text.rfind(L"登录器更新失败：无法写入新的登录器（错误码 ", 0), 0u) << box.text;
    EXPECT_NE(box.text.find(L"已重新启动原来的登录器"), std::wstring::npos) << box.text;
    EXPECT_NE(WaitTopWindow(0, L"VornLauncherWindow", L"", 20000), nullptr) << "the old launcher was not started";
    EXPECT_TRUE(ReadFileBytes(target) == launcher) << "the launcher in place was changed";
    EXPECT_TRUE(PressButton(box.hwnd, IDOK));
    EXPECT_EQ(WaitExit(helper, 10000), 2u);
    Kill(helper);
}
