// The staged executable's side of the self-update, run as real processes: the launcher copied as
// "<exe>.new" and started with "--apply-update".

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
    EXPECT_EQ(WaitExit(process, 40000), 2u);
    lock.reset();
    EXPECT_EQ(ReadFileBytes(update.target), "the old launcher");
    EXPECT_TRUE(FileExists(update.staged));
    EXPECT_EQ(FindTopWindow(0, L"VornLauncherWindow", L""), nullptr) << "started something after giving up";
    CloseLaunchers();
}
