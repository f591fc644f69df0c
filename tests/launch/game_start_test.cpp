#include "base/text.h"
#include "launch/game_start.h"
#include "tests/launch/launch_test_support.h"
#include "ui/launch_job.h"

#include <gtest/gtest.h>

#include <cwctype>

namespace {

constexpr DWORD kGameRecordTimeoutMs = 15000;

const LaunchTarget kTarget{L"127.0.0.1", 7000, L"ABCDEFGHIJKLMNOP"};

void ClearGameEnvironment()
{
    for (const wchar_t* name : {L"VORN_SERVER_HOST", L"VORN_SERVER_PORT", L"VORN_CLIENT_SERIAL"})
        SetEnvironmentVariableW(name, nullptr);
}

LauncherConfig ConfigWith(const std::wstring& gameExe, const std::wstring& argumentTemplate)
{
    LauncherConfig config = BuildDefaultConfig();
    config.gameExe = gameExe;
    config.gameArgsTemplate = argumentTemplate;
    return config;
}

}

TEST(ReplaceAll, ReplacesEveryOccurrenceAndNeverRescansTheInsertedText)
{
    std::wstring text = L"{host}:{host}";
    ReplaceAll(text, L"{host}", L"a{host}");
    EXPECT_EQ(text, L"a{host}:a{host}");

    text = L"aaa";
    ReplaceAll(text, L"a", L"aa");
    EXPECT_EQ(text, L"aaaaaa");

    text = L"abc";
    ReplaceAll(text, L"", L"x");
    EXPECT_EQ(text, L"abc");
    ReplaceAll(text, L"b", L"");
    EXPECT_EQ(text, L"ac");
}

TEST(GameArguments, FillHostFirstThenPort)
{
    EXPECT_EQ(ExpandGameArguments(L"Updater /u{host} /p{port}", L"10.0.0.5", 7000), L"Updater /u10.0.0.5 /p7000");
    EXPECT_EQ(ExpandGameArguments(L"{host} {host} {port}", L"h", 1), L"h h 1");
    EXPECT_EQ(ExpandGameArguments(L"-fullscreen", L"h", 1), L"-fullscreen");
    // A host that itself contains "{port}" has that part filled in too.
    EXPECT_EQ(ExpandGameArguments(L"/u{host}", L"x{port}", 65535), L"/ux65535");

    EXPECT_EQ(BuildGameCommandLine(L"C:\\G\\Main.exe", L""), L"\"C:\\G\\Main.exe\"");
    EXPECT_EQ(BuildGameCommandLine(L"C:\\G\\Main.exe", L"a b"), L"\"C:\\G\\Main.exe\" a b");
}

TEST(GameEnvironment, TheTargetsValuesReplaceTheInheritedOnesInNameOrder)
{
    using namespace std::string_literals;
    const std::wstring inherited = L"=C:=C:\\game\0Path=C:\\Windows\0vorn_server_host=stale\0"
                                   L"VORN_SERVER_PORTAL=kept\0VORN_CLIENT_SERIAL=old\0\0"s;
    EXPECT_EQ(BuildGameEnvironment(inherited.c_str(), kTarget),
              L"=C:=C:\\game\0Path=C:\\Windows\0VORN_CLIENT_SERIAL=ABCDEFGHIJKLMNOP\0VORN_SERVER_HOST=127.0.0.1\0"
              L"VORN_SERVER_PORT=7000\0VORN_SERVER_PORTAL=kept\0\0"s);
    EXPECT_EQ(BuildGameEnvironment(L"\0", LaunchTarget{}),
              L"VORN_CLIENT_SERIAL=\0VORN_SERVER_HOST=\0VORN_SERVER_PORT=0\0\0"s);
}

TEST(StartGameClient, StartsTheGameWithCommandLineEnvironmentAndFolderThenMinimises)
{
    ClearGameEnvironment();
    SetEnvironmentVariableW(L"VORN_SERVER_HOST", L"the launcher's own");
    const launchtest::ClientFolder folder;
    const LauncherConfig config = ConfigWith(L"bin/../Main.exe", L"Updater /u{host} /p{port}");
    const launchtest::StandInMainWindow window;
    const launchtest::MessageBoxRecorder boxes;

    StartGameFromWindow(window.get(), config, folder.root(), kTarget);
    // A start that failed has said so by now; its message tells more than a record that never comes.
    ASSERT_TRUE(boxes.calls().empty()) << WideToUtf8(boxes.calls().front().text);

    const auto record = folder.WaitGameRecord(kGameRecordTimeoutMs);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->at(L"command_line"), L"\"" + folder.root() + L"\\Main.exe\" Updater /u127.0.0.1 /p7000");
    EXPECT_EQ(record->at(L"working_directory"), folder.root());
    EXPECT_EQ(record->at(L"VORN_SERVER_HOST"), L"127.0.0.1");
    EXPECT_EQ(record->at(L"VORN_SERVER_PORT"), L"7000");
    EXPECT_EQ(record->at(L"VORN_CLIENT_SERIAL"), L"ABCDEFGHIJKLMNOP");

    EXPECT_TRUE(IsWindow(window.get()));
    EXPECT_TRUE(IsIconic(window.get()));
    // The values were for the game only: the launcher's own environment is as it was.
    EXPECT_FALSE(launchtest::EnvironmentValue(L"VORN_CLIENT_SERIAL").has_value());
    EXPECT_EQ(launchtest::EnvironmentValue(L"VORN_SERVER_HOST"), L"the launcher's own");
    EXPECT_FALSE(launchtest::EnvironmentValue(L"VORN_SERVER_PORT").has_value());
    ClearGameEnvironment();
}

TEST(StartGameClient, EmptyTemplateGivesOnlyTheQuotedExecutable)
{
    ClearGameEnvironment();
    const launchtest::ClientFolder folder;
    const launchtest::StandInMainWindow window;
    const launchtest::MessageBoxRecorder boxes;

    StartGameFromWindow(window.get(), ConfigWith(L"Main.exe", L""), folder.root(),
                        LaunchTarget{L"", 1, L"ABCDEFGHIJKLMNOP"});
    ASSERT_TRUE(boxes.calls().empty()) << WideToUtf8(boxes.calls().front().text);

    const auto record = folder.WaitGameRecord(kGameRecordTimeoutMs);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->at(L"command_line"), L"\"" + folder.root() + L"\\Main.exe\"");
    EXPECT_EQ(record->at(L"VORN_SERVER_HOST"), L"");
    EXPECT_EQ(record->at(L"VORN_SERVER_PORT"), L"1");
}

TEST(StartGameClient, MissingExecutableOrFolderInItsPlaceIsReported)
{
    const launchtest::ClientFolder folder;
    ASSERT_TRUE(CreateDirectoryW((folder / L"Game.exe").c_str(), nullptr));
    const launchtest::StandInMainWindow window;

    for (const std::wstring gameExe : {L"Missing.exe", L"Game.exe"}) {
        SCOPED_TRACE(gameExe);
        ClearGameEnvironment();
        const launchtest::MessageBoxRecorder boxes;

        StartGameFromWindow(window.get(), ConfigWith(gameExe, L"Updater /u{host} /p{port}"), folder.root(), kTarget);

        ASSERT_EQ(boxes.calls().size(), 1u);
        EXPECT_EQ(boxes.calls()[0].text, L"找不到游戏主程序：\n" + folder.root() + L"\\" + gameExe);
        EXPECT_EQ(boxes.calls()[0].caption, L"无法启动游戏");
        EXPECT_EQ(boxes.calls()[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
        EXPECT_EQ(boxes.calls()[0].owner, window.get());
        EXPECT_FALSE(IsIconic(window.get()));
        EXPECT_FALSE(launchtest::EnvironmentValue(L"VORN_SERVER_HOST").has_value());
    }
}

TEST(StartGameClient, FailedStartShowsTheSystemErrorAndLeavesTheEnvironment)
{
    ClearGameEnvironment();
    const launchtest::ClientFolder folder;
    probe::WriteFileBytes(folder / L"Broken.exe", "this is not a program");
    const launchtest::StandInMainWindow window;
    const launchtest::MessageBoxRecorder boxes;

    StartGameFromWindow(window.get(), ConfigWith(L"Broken.exe", L"Updater /u{host} /p{port}"), folder.root(), kTarget);

    ASSERT_EQ(boxes.calls().size(), 1u);
    const std::wstring prefix = L"启动游戏进程失败，错误码：";
    const std::wstring& text = boxes.calls()[0].text;
    ASSERT_EQ(text.compare(0, prefix.size(), prefix), 0) << text.size();
    const std::wstring code = text.substr(prefix.size());
    ASSERT_FALSE(code.empty());
    for (const wchar_t c : code)
        EXPECT_TRUE(std::iswdigit(c));
    EXPECT_NE(std::stoul(code), 0u);
    EXPECT_EQ(boxes.calls()[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));

    EXPECT_FALSE(IsIconic(window.get()));
    EXPECT_FALSE(launchtest::EnvironmentValue(L"VORN_CLIENT_SERIAL").has_value());
    EXPECT_FALSE(launchtest::EnvironmentValue(L"VORN_SERVER_HOST").has_value());
}
