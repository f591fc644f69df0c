#include "update/update_transaction.h"

#include "tests/support/http_site.h"
#include "tests/support/process_probe.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The five files of the sites that the manifest generator built before this test ran (update_sites).
const std::vector<std::wstring> kSiteFiles = {L"Data\\Local\\a b.txt", L"Data\\Player\\player.bmd",
                                              L"Data\\地图\\lorencia.map", L"Launcher.exe", L"Main.exe"};

std::wstring SiteDir(const std::wstring& name)
{
    return fs::weakly_canonical(fs::path(probe::BinDir()) / L".." / L"update-sites" / name).wstring();
}

void CopyFromSite(const std::wstring& site, const std::wstring& client, const std::vector<std::wstring>& files)
{
    for (const std::wstring& file : files) {
        fs::create_directories((fs::path(client) / file).parent_path());
        fs::copy_file(fs::path(site) / file, fs::path(client) / file, fs::copy_options::overwrite_existing);
    }
}

std::vector<std::wstring> FilesUnder(const std::wstring& folder)
{
    std::vector<std::wstring> files;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        if (item.is_regular_file())
            files.push_back(item.path().lexically_relative(folder).wstring());
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool StagingLeft(const std::wstring& client)
{
    for (const auto& item : fs::directory_iterator(client)) {
        if (item.path().filename().wstring().starts_with(L".vorn-update-"))
            return true;
    }
    return false;
}

// "stage current/total file% overall% file", so a whole report reads as one value.
std::wstring Describe(const vorn::UpdateProgress& p)
{
    return std::to_wstring(p.stage) + L" " + std::to_wstring(p.current) + L"/" + std::to_wstring(p.total) + L" " +
           std::to_wstring(p.filePercent) + L" " + std::to_wstring(p.overallPercent) + L" " + p.file;
}

struct UpdateRun {
    std::vector<std::wstring> statuses;
    std::vector<int> percents;
    std::vector<vorn::UpdateProgress> reports;
    std::function<bool(const UpdateRun&)> cancelWhen;
    vorn::UpdateResult result;

    UpdateRun& Apply(const probe::HttpSite& server, const std::wstring& client, const std::wstring& launcher,
               const std::wstring& manifestName = L"up.ini")
    {
        result = vorn::ApplyClientUpdate(
            server.BaseUrl(), manifestName, client, launcher, [this](const std::wstring& s) { statuses.push_back(s); },
            [this](int percent) { percents.push_back(percent); },
            [this] { return cancelWhen && cancelWhen(*this); },
            [this](const vorn::UpdateProgress& p) { reports.push_back(p); });
        return *this;
    }

    std::vector<std::wstring> Stage(std::int32_t stage) const
    {
        std::vector<std::wstring> described;
        for (const auto& p : reports) {
            if (p.stage == stage)
                described.push_back(Describe(p));
        }
        return described;
    }
};

}

TEST(UpdateTransaction, CurrentClientNeedsNothing)
{
    const std::wstring site = SiteDir(L"good");
    ASSERT_TRUE(probe::FileExists(site + L"\\up.ini")) << "the update_sites fixture builds " << site.c_str();
    probe::HttpSite server(site);
    probe::TempDir client;
    CopyFromSite(site, client.path(), kSiteFiles);

    UpdateRun run;
    run.Apply(server, client.path(), client / L"Launcher.exe");
    EXPECT_TRUE(run.result.succeeded);
    EXPECT_FALSE(run.result.restartRequired);
    EXPECT_EQ(run.result.filesUpdated, 0);
    EXPECT_EQ(run.result.message, L"客户端已是最新版本。");
    EXPECT_TRUE(run.statuses.empty());
    ASSERT_EQ(run.reports.size(), 7u);
    EXPECT_EQ(Describe(run.reports.front()), L"0 0/0 0 0 ");
    EXPECT_EQ(run.Stage(1).size(), 5u);
    EXPECT_EQ(run.reports[3].current, 3u);
    EXPECT_EQ(Describe(run.reports.back()), L"5 0/0 100 100 ");
    EXPECT_EQ(run.percents, (std::vector<int>{0, 0, 0, 0, 0, 0, 100}));
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_FALSE(StagingLeft(client.path()));

    // Without any callback, and with the root given in another spelling, the outcome is the same.
    const vorn::UpdateResult quiet =
        vorn::ApplyClientUpdate(server.BaseUrl(), L"/up.ini", client.path() + L"\\Data\\..\\",
                                client / L"Launcher.exe", {}, {}, {}, {});
    EXPECT_TRUE(quiet.succeeded);
    EXPECT_EQ(quiet.message, L"客户端已是最新版本。");
    EXPECT_FALSE(StagingLeft(client.path()));
}

TEST(UpdateTransaction, MissingFileIsDownloadedVerifiedAndInstalledWithItsFolder)
{
    const std::wstring site = SiteDir(L"good");
    probe::HttpSite server(site);
    probe::TempDir client;
    std::vector<std::wstring> present = kSiteFiles;
    std::erase(present, L"Data\\地图\\lorencia.map");
    CopyFromSite(site, client.path(), present);

    UpdateRun run;
    run.Apply(server, client.path(), client / L"Launcher.exe");
    ASSERT_TRUE(run.result.succeeded) << run.result.message.c_str();
    EXPECT_EQ(run.result.filesUpdated, 1);
    EXPECT_EQ(run.result.message, L"更新完成，共更新 1 个文件。");
    EXPECT_EQ(probe::ReadFileBytes(client / L"Data\\地图\\lorencia.map"),
              probe::ReadFileBytes(site + L"\\Data\\地图\\lorencia.map"));
    EXPECT_EQ(run.statuses, std::vector<std::wstring>{L"正在更新：Data\\地图\\lorencia.map..."});
    EXPECT_EQ(server.CountRequests("/Data/%E5%9C%B0%E5%9B%BE/lorencia.map"), 1u);

    // The transfer runs 0 -> 100 for the file and 0 -> 90 overall, then verification, install and the end.
    const auto downloads = run.Stage(2);
    ASSERT_GE(downloads.size(), 2u);
    EXPECT_EQ(downloads.front(), L"2 1/1 0 0 Data\\地图\\lorencia.map");
    EXPECT_EQ(downloads.back(), L"2 1/1 100 90 Data\\地图\\lorencia.map");
    for (const auto& p : run.reports) {
        if (p.stage == 2) {
            EXPECT_EQ(p.overallPercent, p.filePercent * 90 / 100);
        }
    }
    EXPECT_EQ(run.Stage(3), std::vector<std::wstring>{L"3 1/1 100 90 Data\\地图\\lorencia.map"});
    EXPECT_EQ(run.Stage(4), std::vector<std::wstring>{L"4 1/1 100 90 Data\\地图\\lorencia.map"});
    EXPECT_EQ(Describe(run.reports.back()), L"5 1/1 100 100 ");
    ASSERT_EQ(run.percents.size(), run.reports.size());
    for (std::size_t i = 0; i < run.reports.size(); ++i)
        EXPECT_EQ(run.percents[i], run.reports[i].overallPercent);
    EXPECT_FALSE(StagingLeft(client.path()));
}

TEST(UpdateTransaction, TransferWithoutLengthShowsNoFilePercentUntilItEnds)
{
    const std::wstring site = SiteDir(L"good");
    probe::HttpSite server(site);
    probe::HttpScript noLength;
    noLength.body = probe::ReadFileBytes(site + L"\\Main.exe");
    noLength.sendLength = false;
    noLength.chunkBytes = 16384;
    server.Script("/Main.exe", noLength);
    probe::TempDir client;
    std::vector<std::wstring> present = kSiteFiles;
    std::erase(present, L"Main.exe");
    CopyFromSite(site, client.path(), present);

    UpdateRun run;
    run.Apply(server, client.path(), client / L"Launcher.exe");
    ASSERT_TRUE(run.result.succeeded) << run.result.message.c_str();
    EXPECT_EQ(run.Stage(2), (std::vector<std::wstring>{L"2 1/1 0 0 Main.exe", L"2 1/1 0 0 Main.exe",
                                                       L"2 1/1 100 90 Main.exe"}));
    EXPECT_EQ(probe::ReadFileBytes(client / L"Main.exe"), noLength.body);
}

TEST(UpdateTransaction, LauncherIsInstalledLastBesideItself)
{
    const std::wstring site = SiteDir(L"good");
    probe::HttpSite server(site);
    probe::TempDir client;
    CopyFromSite(site, client.path(), kSiteFiles);
    probe::WriteFileBytes(client / L"Launcher.exe", "MZ the running launcher");
    probe::WriteFileBytes(client / L"Main.exe", "MZ an old game client");

    UpdateRun run;
    run.Apply(server, client.path(), client / L"launcher.EXE");
    ASSERT_TRUE(run.result.succeeded) << run.result.message.c_str();
    EXPECT_TRUE(run.result.restartRequired);
    EXPECT_EQ(run.result.filesUpdated, 2);
    EXPECT_EQ(run.result.message, L"更新完成，共更新 2 个文件。");
    EXPECT_EQ(probe::ReadFileBytes(client / L"Launcher.exe"), "MZ the running launcher");
    EXPECT_EQ(probe::ReadFileBytes(client / L"Launcher.exe.new"), probe::ReadFileBytes(site + L"\\Launcher.exe"));
    EXPECT_EQ(probe::ReadFileBytes(client / L"Main.exe"), probe::ReadFileBytes(site + L"\\Main.exe"));
    EXPECT_EQ(run.Stage(4), (std::vector<std::wstring>{L"4 1/2 100 90 Main.exe", L"4 2/2 100 94 Launcher.exe"}));
    EXPECT_FALSE(StagingLeft(client.path()));
}

TEST(UpdateTransaction, ChecksumMismatchOnTheThirdDownloadInstallsNothing)
{
    const std::wstring site = SiteDir(L"corrupt");
    probe::HttpSite server(site);
    probe::TempDir client;
    wchar_t third[MAX_PATH] = {};
    GetPrivateProfileStringW(L"up", L"File3", L"", third, MAX_PATH, (site + L"\\up.ini").c_str());
    std::wstring remote = third;
    std::replace(remote.begin(), remote.end(), L'/', L'\\');

    UpdateRun run;
    run.Apply(server, client.path(), client / L"Launcher.exe");
    EXPECT_FALSE(run.result.succeeded);
    EXPECT_EQ(run.result.filesUpdated, 0);
    EXPECT_EQ(run.result.message, L"文件 CRC32 校验失败：" + remote + L"。请重新生成并上传更新包。");
    EXPECT_EQ(run.statuses.size(), 3u);
    EXPECT_EQ(server.Requests().size(), 4u);  // the manifest and three files
    EXPECT_TRUE(run.Stage(4).empty());
    EXPECT_TRUE(run.Stage(5).empty());
    EXPECT_TRUE(FilesUnder(client.path()).empty());
}

TEST(UpdateTransaction, CancelBetweenInstallsKeepsWhatWasInstalled)
{
    const std::wstring site = SiteDir(L"good");
    probe::HttpSite server(site);
    probe::TempDir client;

    UpdateRun run;
    run.cancelWhen = [](const UpdateRun& r) { return !r.Stage(4).empty(); };
    run.Apply(server, client.path(), client / L"Launcher.exe");
    EXPECT_FALSE(run.result.succeeded);
    EXPECT_EQ(run.result.message, L"更新操作已取消。");
    EXPECT_EQ(run.result.filesUpdated, 1);
    EXPECT_EQ(FilesUnder(client.path()).size(), 1u);
    EXPECT_EQ(run.Stage(4).size(), 1u);
    EXPECT_TRUE(run.Stage(5).empty());
    EXPECT_FALSE(StagingLeft(client.path()));
}

TEST(UpdateTransaction, LockedTargetNamesTheFileAndTheSystemError)
{
    const std::wstring site = SiteDir(L"good");
    probe::HttpSite server(site);
    probe::TempDir client;
    CopyFromSite(site, client.path(), kSiteFiles);
    probe::WriteFileBytes(client / L"Main.exe", "MZ the running game");
    const UniqueFile running(CreateFileW((client / L"Main.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(running);
    // The code the system gives for moving over this locked file (32 on Windows).
    probe::WriteFileBytes(client / L"probe", "x");
    ASSERT_FALSE(MoveFileExW((client / L"probe").c_str(), (client / L"Main.exe").c_str(), 9));
    const DWORD code = GetLastError();

    UpdateRun run;
    run.Apply(server, client.path(), client / L"Launcher.exe");
    EXPECT_FALSE(run.result.succeeded);
    EXPECT_EQ(run.result.filesUpdated, 0);
    EXPECT_EQ(run.result.message, L"无法替换文件：Main.exe（错误码 " + std::to_wstring(code) +
                                      L"）。请退出游戏后重试，并检查目录写入权限。");
    EXPECT_FALSE(StagingLeft(client.path()));
}

TEST(UpdateTransaction, LinkUnderTheRootFailsBeforeAnyDownload)
{
    probe::HttpSite server(SiteDir(L"good"));
    const std::wstring client = SiteDir(L"linked-client");
    const DWORD attributes = GetFileAttributesW((client + L"\\Data").c_str());
    ASSERT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT));

    UpdateRun run;
    run.Apply(server, client, client + L"\\Launcher.exe");
    EXPECT_FALSE(run.result.succeeded);
    EXPECT_EQ(run.result.message, L"更新失败。请检查客户端目录写入权限及文件路径。");
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_TRUE(run.Stage(1).empty());
    EXPECT_EQ(FilesUnder(client), std::vector<std::wstring>{});
    EXPECT_TRUE(FilesUnder(SiteDir(L"link-target")).empty());
    EXPECT_FALSE(StagingLeft(client));
}

// "a" and "A\b" cannot both be in the client: one is a file, the other needs it as a folder. The list is refused
// as a whole before any file is fetched, whichever comes first, so the client never ends up half updated.
TEST(UpdateTransaction, EntryInsideAnotherEntryIsRefusedBeforeAnyDownload)
{
    probe::HttpSite server;
    for (const char* target : {"/a", "/b"}) {
        probe::HttpScript file;
        file.body = target[1] == 'a' ? "first file" : "second file";
        server.Script(target, file);
    }
    for (const char* entries : {"File1=a\nCFile1=a\nXYZ1=00EFFE3A\nFile2=b\nCFile2=A\\b\nXYZ2=735AF9A0\n",
                                "File1=b\nCFile1=a/B\nXYZ1=735AF9A0\nFile2=a\nCFile2=A\nXYZ2=00EFFE3A\n"}) {
        SCOPED_TRACE(entries);
        probe::HttpScript manifest;
        manifest.body = std::string("[Set]\nCount=2\n[up]\n") + entries;
        server.Script("/up.ini", manifest);
        probe::TempDir client;
        const std::size_t requestsBefore = server.Requests().size();

        UpdateRun run;
        run.Apply(server, client.path(), client / L"Launcher.exe");
        EXPECT_FALSE(run.result.succeeded);
        EXPECT_EQ(run.result.message, L"更新清单第 2 项路径或 CRC32 无效。");
        EXPECT_EQ(server.Requests().size(), requestsBefore + 1) << "fetched more than the manifest";
        EXPECT_TRUE(FilesUnder(client.path()).empty());
    }
}

TEST(UpdateTransaction, ManifestProblemsStopWithTheirOwnMessage)
{
    probe::HttpSite server;
    probe::HttpScript page;
    page.body = "<html><body>maintenance</body></html>";
    server.Script("/page.ini", page);
    probe::TempDir client;
    UpdateRun run;

    run.Apply(server, client.path(), client / L"Launcher.exe", L"..\\up.ini");
    EXPECT_EQ(run.result.message, L"更新清单文件名无效。");
    run.Apply(server, client.path(), client / L"Launcher.exe", L"missing.ini");
    EXPECT_EQ(run.result.message, L"更新清单下载失败：" + server.BaseUrl() + L"missing.ini\nHTTP 状态码：404");
    run.Apply(server, client.path(), client / L"Launcher.exe", L"page.ini");
    EXPECT_EQ(run.result.message, L"更新清单中的 Count 无效；请确认网站返回的是 up.ini，而不是网页。");
    run.cancelWhen = [](const UpdateRun&) { return true; };
    run.Apply(server, client.path(), client / L"Launcher.exe");
    EXPECT_EQ(run.result.message, L"更新清单下载失败：" + server.BaseUrl() + L"up.ini\n更新操作已取消。");
    EXPECT_FALSE(run.result.succeeded);
    EXPECT_TRUE(run.Stage(5).empty());
    EXPECT_FALSE(StagingLeft(client.path()));
    EXPECT_EQ(server.Requests().size(), 2u);

    // A client root that cannot hold a staging folder fails before anything is fetched.
    probe::WriteFileBytes(client / L"plain", "a file, not a folder");
    run.cancelWhen = nullptr;
    run.Apply(server, client / L"plain", client / L"plain\\Launcher.exe");
    EXPECT_EQ(run.result.message, L"更新失败。请检查客户端目录写入权限及文件路径。");
    EXPECT_EQ(server.Requests().size(), 2u);
}
