#include "base/command_line.h"
#include "base/config.h"
#include "base/paths.h"

#include <gtest/gtest.h>

TEST(Config, DefaultsServeTheLocalDemo)
{
    const LauncherConfig config = BuildDefaultConfig();
    EXPECT_EQ(config.windowTitle, L"Vorn 岚谷登录器");
    EXPECT_EQ(config.serverHost, L"127.0.0.1");
    EXPECT_EQ(config.updateBaseUrl, L"http://127.0.0.1/updates/");
    EXPECT_EQ(config.manifestName, L"up.ini");
    EXPECT_EQ(config.gameExe, L"Main.exe");
    EXPECT_EQ(config.gameArgsTemplate, L"Updater /u{host} /p{port}");
    EXPECT_EQ(config.websiteUrl.rfind(L"http://", 0), 0u);
    EXPECT_EQ(config.websiteUrl.back(), L'/');
    EXPECT_EQ(config.clientVersion, L"2.62.81");
    EXPECT_EQ(config.clientSubVersion, L"13.8");
    EXPECT_EQ(config.clientSerial, L"7395104826153049");
    EXPECT_TRUE(config.launchAuthEnabled);
    EXPECT_TRUE(config.updatePublicKey.empty());
    EXPECT_EQ(config.maxUnknownLength, 4ull << 30);
    EXPECT_EQ(config.minimumRelease, 0u);
    EXPECT_EQ(config.windowTitle, kLauncherTitle);
}

TEST(Config, EmptyUntilStartUpInstallsIt)
{
    const LauncherConfig empty;
    EXPECT_TRUE(empty.windowTitle.empty() && empty.serverHost.empty() && empty.clientSerial.empty());
    EXPECT_FALSE(empty.launchAuthEnabled);

    InstallConfig(BuildDefaultConfig());
    EXPECT_EQ(Config().serverHost, L"127.0.0.1");
    EXPECT_TRUE(Config().launchAuthEnabled);
}

TEST(ClientRoot, IsTheExecutablesFolder)
{
    EXPECT_EQ(ClientRootFromExecutablePath(L"C:\\Games\\Vorn\\VornLauncher.exe"), L"C:\\Games\\Vorn");
    EXPECT_EQ(ClientRootFromExecutablePath(L"C:\\Games\\Vorn\\\\VornLauncher.exe"), L"C:\\Games\\Vorn");
    EXPECT_EQ(ClientRootFromExecutablePath(L"\\\\server\\share\\VornLauncher.exe"), L"\\\\server\\share");
}

TEST(ClientRoot, DriveRootKeepsItsSeparator)
{
    EXPECT_EQ(ClientRootFromExecutablePath(L"C:\\VornLauncher.exe"), L"C:\\");
    EXPECT_EQ(ClientRootFromExecutablePath(L"D:\\\\VornLauncher.exe"), L"D:\\");
}

TEST(ClientRoot, OfThisProcessMatchesItsExecutablePath)
{
    const std::wstring exe = GetExecutablePath();
    ASSERT_FALSE(exe.empty());
    const std::wstring root = DetermineClientRoot();
    EXPECT_EQ(exe.compare(0, root.size(), root), 0);
    EXPECT_EQ(exe[root.size()], L'\\');
    EXPECT_EQ(exe.find(L'\\', root.size() + 1), std::wstring::npos);
}

TEST(CommandLine, OnlyTheExactFourArgumentFormIsTheSelfUpdate)
{
    const auto parsed = ParseSelfUpdateArguments({L"a.exe.new", L"--apply-update", L"C:\\a.exe", L"42"});
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->targetPath, L"C:\\a.exe");
    EXPECT_EQ(parsed->processId, L"42");

    EXPECT_FALSE(ParseSelfUpdateArguments({L"a.exe", L"--apply-update"}));
    EXPECT_FALSE(ParseSelfUpdateArguments({L"a.exe", L"--apply-update", L"C:\\a.exe"}));
    EXPECT_FALSE(ParseSelfUpdateArguments({L"a.exe", L"--apply-update", L"C:\\a.exe", L"42", L"x"}));
    EXPECT_FALSE(ParseSelfUpdateArguments({L"a.exe", L"--APPLY-UPDATE", L"C:\\a.exe", L"42"}));
    EXPECT_FALSE(ParseSelfUpdateArguments({L"a.exe"}));
}
