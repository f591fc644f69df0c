#include "update/update_transaction.h"

#include "base/text.h"
#include "tests/support/http_site.h"
#include "update/crc32.h"
#include "update/crc32_compute.h"
#include "update/http_download.h"
#include "tests/support/process_probe.h"
#include "tests/update/signed_sites.h"
#include "tests/update/update_run.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <thread>
#include <utility>
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
    EXPECT_TRUE(run.result.message.empty());
    EXPECT_TRUE(run.started.empty());
    ASSERT_EQ(run.reports.size(), 7u);
    EXPECT_EQ(Describe(run.reports.front()), L"0 0/0 0 0 ");
    EXPECT_EQ(run.Stage(1).size(), 5u);
    EXPECT_EQ(run.reports[3].current, 3u);
    EXPECT_EQ(Describe(run.reports.back()), L"5 0/0 100 100 ");
    EXPECT_EQ(run.Percents(), (std::vector<int>{0, 0, 0, 0, 0, 0, 100}));
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_FALSE(StagingLeft(client.path()));

    // With the root given in another spelling, the outcome is the same.
    UpdateRun again;
    const vorn::UpdateResult quiet =
        again.Apply(server, client.path() + L"\\Data\\..\\", client / L"Launcher.exe", L"/up.ini").result;
    EXPECT_TRUE(quiet.succeeded);
    EXPECT_EQ(quiet.filesUpdated, 0);
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
    EXPECT_EQ(probe::ReadFileBytes(client / L"Data\\地图\\lorencia.map"),
              probe::ReadFileBytes(site + L"\\Data\\地图\\lorencia.map"));
    EXPECT_EQ(run.started, std::vector<std::wstring>{L"Data\\地图\\lorencia.map"});
    EXPECT_EQ(server.CountRequests("/Data/%E5%9C%B0%E5%9B%BE/lorencia.map"), 1u);

    // The transfer runs 0 -> 100 for the file and 0 -> 90 overall, then verification, install and the end.
    const auto downloads = run.Stage(2);
    ASSERT_GE(downloads.size(), 2u);
    EXPECT_EQ(downloads.front(), L"2 1/1 0 0 Data\\地图\\lorencia.map");
    EXPECT_EQ(downloads.back(), L"2 1/1 100 90 Data\\地图\\lorencia.map");
    for (const auto& p : run.reports) {
        if (p.stage == vorn::UpdateStage::kDownloading) {
            EXPECT_EQ(p.overallPercent, p.filePercent * 90 / 100);
        }
    }
    EXPECT_EQ(run.Stage(3), std::vector<std::wstring>{L"3 1/1 100 90 Data\\地图\\lorencia.map"});
    EXPECT_EQ(run.Stage(4), std::vector<std::wstring>{L"4 1/1 100 90 Data\\地图\\lorencia.map"});
    EXPECT_EQ(Describe(run.reports.back()), L"5 1/1 100 100 ");
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
    EXPECT_EQ(run.started.size(), 3u);
    // The manifest fresh, three files as any cache holds them, and the third once more fresh from the site.
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 5u);
    const std::vector<std::string> cacheControl = [&] {
        std::vector<std::string> values;
        for (const auto& request : requests)
            values.push_back(request.headers.count("cache-control") ? request.headers.at("cache-control") : "");
        return values;
    }();
    EXPECT_EQ(cacheControl, (std::vector<std::string>{"no-cache", "", "", "", "no-cache"}));
    EXPECT_EQ(requests[3].target, requests[4].target);
    EXPECT_TRUE(run.Stage(4).empty());
    EXPECT_TRUE(run.Stage(5).empty());
    EXPECT_TRUE(FilesUnder(client.path()).empty());
}

TEST(UpdateTransaction, FilesAreCountedAsTheyAreVerifiedAndOneConnectionKeepsTheManifestOrder)
{
    const std::wstring site = SiteDir(L"good");
    probe::HttpSite server(site);
    for (const std::uint32_t connections : {1u, 4u}) {
        probe::TempDir client;
        UpdateRun run;
        run.request.connections = connections;
        run.Apply(server, client.path(), client / L"VornLauncher.exe");
        ASSERT_TRUE(run.result.succeeded) << run.result.message.c_str();
        EXPECT_EQ(run.result.filesUpdated, 5);
        for (const std::wstring& file : kSiteFiles)
            EXPECT_TRUE(probe::ReadFileBytes(client / file) == probe::ReadFileBytes(site + L"\\" + file)) << file;
        EXPECT_EQ(run.started.size(), 5u);
        const auto verified = run.Stage(3);
        ASSERT_EQ(verified.size(), 5u);
        // The k-th verified file brings the overall percent to its share at least; with several connections
        // the transfers still running add theirs.
        for (std::uint32_t k = 0; k < 5; ++k) {
            const std::wstring head = L"3 " + std::to_wstring(k + 1) + L"/5 100 ";
            ASSERT_TRUE(verified[k].starts_with(head)) << verified[k];
            const int overall = std::stoi(verified[k].substr(head.size()));
            if (connections == 1)
                EXPECT_EQ(overall, static_cast<int>((k + 1) * 90 / 5)) << verified[k];
            else
                EXPECT_TRUE(overall >= static_cast<int>((k + 1) * 90 / 5) && overall <= 90) << verified[k];
        }
        int previous = 0;
        for (const auto& p : run.reports) {
            EXPECT_GE(p.overallPercent, previous) << Describe(p);
            previous = p.overallPercent;
        }
        if (connections > 1)
            continue;
        // One after another: each file's reports together, started, counted and verified in turn.
        std::vector<std::wstring> order;
        for (const auto& p : run.reports) {
            if ((p.stage == vorn::UpdateStage::kDownloading || p.stage == vorn::UpdateStage::kVerifying) &&
                (order.empty() || order.back() != p.file))
                order.push_back(p.file);
        }
        ASSERT_EQ(order.size(), 5u);
        for (std::uint32_t k = 0; k < 5; ++k) {
            EXPECT_EQ(run.started[k], order[k]);
            EXPECT_TRUE(verified[k].ends_with(L" " + order[k]));
        }
        EXPECT_EQ(run.Stage(2).front(), L"2 1/5 0 0 " + order[0]);
    }
}

TEST(UpdateTransaction, AFailingFileAmongParallelDownloadsIsReportedAndNothingIsInstalled)
{
    const std::wstring site = SiteDir(L"good");
    probe::HttpSite server(site);
    probe::HttpScript missing;
    missing.status = 404;
    missing.body = "not here";
    server.Script("/Main.exe", missing);
    probe::TempDir client;

    UpdateRun run;
    run.request.connections = 4;
    run.Apply(server, client.path(), client / L"Launcher.exe");
    EXPECT_FALSE(run.result.succeeded);
    EXPECT_EQ(run.result.message, L"文件下载失败：Main.exe\nHTTP 状态码：404");
    EXPECT_EQ(server.CountRequests("/Main.exe"), 1u);
    EXPECT_EQ(run.result.filesUpdated, 0);
    EXPECT_TRUE(run.Stage(4).empty());
    // Nothing is installed; a download the failure cut part way may be kept for the next attempt.
    for (const std::wstring& file : FilesUnder(client.path()))
        EXPECT_TRUE(file.starts_with(L".vorn-kept\\")) << "left in the client folder: " << WideToUtf8(file);
    EXPECT_FALSE(StagingLeft(client.path()));
}

TEST(UpdateTransaction, ACutDownloadIsContinuedWithARangeWhereTheSiteAllowsAndFetchedWholeWhereNot)
{
    const std::wstring site = SiteDir(L"good");
    const std::string target = "/Data/Player/player.bmd";
    const std::string body = probe::ReadFileBytes(site + L"\\Data\\Player\\player.bmd");
    std::vector<std::wstring> present = kSiteFiles;
    std::erase(present, L"Data\\Player\\player.bmd");
    struct Case {
        const char* name;
        probe::HttpFileServing serving;
        std::uint64_t sent;  // bytes of the file's body the site sends in all
    };
    for (const Case& c : {Case{"ranges", {}, body.size()},
                          Case{"no ranges", {false, false}, body.size() / 2 + body.size()},
                          Case{"a new validator with every answer", {true, true}, body.size() / 2 + body.size()}}) {
        SCOPED_TRACE(c.name);
        probe::HttpSite server(site);
        server.ServeFiles(c.serving);
        server.CutFirstAnswer(target, body.size() / 2);
        probe::TempDir client;
        CopyFromSite(site, client.path(), present);

        UpdateRun run;
        run.Apply(server, client.path(), client / L"Launcher.exe");
        ASSERT_TRUE(run.result.succeeded) << run.result.message.c_str();
        EXPECT_EQ(run.result.filesUpdated, 1);
        EXPECT_TRUE(probe::ReadFileBytes(client / L"Data\\Player\\player.bmd") == body);
        EXPECT_EQ(server.BodyBytesSent(target), c.sent);
        std::vector<probe::HttpRequestRecord> asked;
        for (const auto& request : server.Requests()) {
            if (request.target == target)
                asked.push_back(request);
        }
        ASSERT_EQ(asked.size(), 2u);
        EXPECT_EQ(asked[0].headers.count("range"), 0u);
        EXPECT_EQ(asked[1].headers.at("range"), "bytes=" + std::to_string(body.size() / 2) + "-");
        EXPECT_TRUE(asked[1].headers.at("if-range").starts_with("\"")) << asked[1].headers.at("if-range");
        EXPECT_FALSE(StagingLeft(client.path()));
    }
}

TEST(UpdateTransaction, AServerErrorIsTriedAgainAFewTimesThenReportedAndACancelCutsThePauseShort)
{
    const std::wstring site = SiteDir(L"good");
    probe::HttpSite server(site);
    probe::HttpScript busy;
    busy.status = 503;
    busy.body = "busy";
    busy.answers = 2;
    server.Script("/Main.exe", busy);
    std::vector<std::wstring> present = kSiteFiles;
    std::erase(present, L"Main.exe");
    probe::TempDir client;
    CopyFromSite(site, client.path(), present);

    UpdateRun run;
    run.Apply(server, client.path(), client / L"Launcher.exe");
    ASSERT_TRUE(run.result.succeeded) << run.result.message.c_str();
    EXPECT_EQ(probe::ReadFileBytes(client / L"Main.exe"), probe::ReadFileBytes(site + L"\\Main.exe"));
    EXPECT_EQ(server.CountRequests("/Main.exe"), 3u);

    busy.answers = 0;
    server.Script("/Main.exe", busy);
    probe::TempDir again;
    CopyFromSite(site, again.path(), present);
    run.Apply(server, again.path(), again / L"Launcher.exe");
    EXPECT_FALSE(run.result.succeeded);
    EXPECT_EQ(run.result.message, L"文件下载失败：Main.exe\nHTTP 状态码：503");
    EXPECT_EQ(server.CountRequests("/Main.exe"), 3u + 4u);
    EXPECT_FALSE(probe::FileExists(again / L"Main.exe"));
    EXPECT_FALSE(StagingLeft(again.path()));

    // The third answer is followed by a pause of two seconds; the player cancels 300 ms into it.
    std::optional<std::chrono::steady_clock::time_point> cancelAt;
    run.cancelWhen = [&](const UpdateRun&) {
        if (!cancelAt && server.CountRequests("/Main.exe") == 7 + 3)
            cancelAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        return cancelAt && std::chrono::steady_clock::now() >= *cancelAt;
    };
    run.Apply(server, again.path(), again / L"Launcher.exe");
    ASSERT_TRUE(cancelAt);
    EXPECT_LT(std::chrono::steady_clock::now() - *cancelAt, std::chrono::seconds(1));
    EXPECT_EQ(run.result.message, L"文件下载失败：Main.exe\n更新操作已取消。");
    EXPECT_EQ(server.CountRequests("/Main.exe"), 7u + 3u);
    EXPECT_FALSE(StagingLeft(again.path()));
}

namespace {

// Every file under the folder with its bytes.
std::map<std::wstring, std::string> Contents(const std::wstring& folder)
{
    std::map<std::wstring, std::string> contents;
    for (const std::wstring& file : FilesUnder(folder))
        contents[file] = probe::ReadFileBytes(folder + L"\\" + file);
    return contents;
}

// A client of the good site's files, each an older version, and the launcher running from it.
std::map<std::wstring, std::string> OlderClient(const probe::TempDir& client)
{
    for (const std::wstring& file : kSiteFiles) {
        fs::create_directories((fs::path(client.path()) / file).parent_path());
        probe::WriteFileBytes(client / file, "the older " + fs::path(file).filename().string());
    }
    return Contents(client.path());
}

}

// The install pass is all or nothing: a file it cannot replace, found before the first move or only at its own,
// and a cancel between two moves, each leave the client wholly as it was, the launcher's ".new" copy included.
TEST(UpdateTransaction, AFailedOrCancelledInstallLeavesTheClientWhollyAsItWas)
{
    const std::wstring site = SiteDir(L"good");
    probe::HttpSite server(site);

    // The running game holds Main.exe open, sharing it for reading only, as a game or a scanner does.
    probe::TempDir held;
    const auto heldBefore = OlderClient(held);
    {
        const UniqueFile running(CreateFileW((held / L"Main.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(running);
        UpdateRun run;
        run.Apply(server, held.path(), held / L"Launcher.exe");
        EXPECT_FALSE(run.result.succeeded);
        EXPECT_EQ(run.result.filesUpdated, 0);
        EXPECT_FALSE(run.result.restartRequired);
        EXPECT_EQ(run.result.message, L"无法替换文件：Main.exe（错误码 32）。请退出游戏后重试，并检查目录写入权限。");
        EXPECT_TRUE(run.Stage(4).empty());
        EXPECT_EQ(Contents(held.path()), heldBefore);
        EXPECT_FALSE(StagingLeft(held.path()));
    }

    // A file stands where a folder must be made: found only at that move, after the first file was replaced.
    probe::TempDir blocked;
    OlderClient(blocked);
    fs::remove_all(fs::path(blocked.path()) / L"Data\\Player");
    probe::WriteFileBytes(blocked / L"Data\\Player", "a file where the folder goes");
    const auto blockedBefore = Contents(blocked.path());
    UpdateRun run;
    run.Apply(server, blocked.path(), blocked / L"Launcher.exe");
    EXPECT_FALSE(run.result.succeeded);
    EXPECT_EQ(run.result.filesUpdated, 0);
    EXPECT_TRUE(run.result.message.starts_with(L"无法创建目标目录：")) << run.result.message.c_str();
    EXPECT_EQ(run.Stage(4).size(), 2u);
    EXPECT_EQ(Contents(blocked.path()), blockedBefore);
    EXPECT_FALSE(StagingLeft(blocked.path()));

    // A cancel after the third move, in a client that had none of the files: their folders go too.
    probe::TempDir empty;
    UpdateRun cancelled;
    cancelled.cancelWhen = [](const UpdateRun& r) { return r.Stage(4).size() == 3; };
    cancelled.Apply(server, empty.path(), empty / L"Launcher.exe");
    EXPECT_FALSE(cancelled.result.succeeded);
    EXPECT_EQ(cancelled.result.message, L"更新操作已取消。");
    EXPECT_EQ(cancelled.result.filesUpdated, 0);
    EXPECT_TRUE(cancelled.Stage(5).empty());
    EXPECT_TRUE(fs::is_empty(empty.path()));
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
    EXPECT_EQ(run.result.message,
              L"客户端目录中的 Data 是链接（符号链接或目录联接），为安全起见已停止更新。请移除该链接后重试。");
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_TRUE(run.Stage(1).empty());
    EXPECT_EQ(FilesUnder(client), std::vector<std::wstring>{});
    EXPECT_TRUE(FilesUnder(SiteDir(L"link-target")).empty());
    EXPECT_FALSE(StagingLeft(client));
}

// The system refuses every new entry in a folder of its kernel's, root or not: a client folder there is one the
// player may not write to, and the update says so before it asks the site for anything.
TEST(UpdateTransaction, AClientFolderClosedToWritingSaysSo)
{
    probe::HttpSite server(SiteDir(L"good"));
    const std::wstring closed = L"Z:\\sys\\kernel";
    ASSERT_NE(GetFileAttributesW(closed.c_str()), INVALID_FILE_ATTRIBUTES);

    UpdateRun run;
    run.Apply(server, closed, closed + L"\\Launcher.exe");
    EXPECT_FALSE(run.result.succeeded);
    EXPECT_EQ(run.result.message, L"没有写入客户端目录的权限：Z:\\sys\\kernel。请检查客户端目录写入权限，或以有权限的用户运行登录器。");
    EXPECT_TRUE(server.Requests().empty());
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

namespace {

using namespace std::chrono_literals;

// The real WinHTTP fetcher with its time bounds shortened, so a hostile site shows what they do in seconds;
// the size cap stays as it is.
class QuickFetcher final : public Fetcher {
public:
    FetchResult Fetch(const std::wstring& url, FetchSink& sink, const TransferLimits& limits,
                      const DownloadProgress& onProgress, const DownloadCancelled& isCancelled) override
    {
        TransferLimits quick = limits;
        quick.stallLimit = 1000ms;
        quick.rateWindow = 2000ms;
        return real_.Fetch(url, sink, quick, onProgress, isCancelled);
    }

private:
    WinHttpFetcher real_;
};

// Answers from memory: a body per URL and, when given, the length it announces. Every URL asked is kept.
class MemoryFetcher final : public Fetcher {
public:
    struct Reply {
        std::string body;
        std::optional<std::uint64_t> announced;
    };
    std::map<std::wstring, Reply> replies;
    std::vector<std::wstring> asked;

    FetchResult Fetch(const std::wstring& url, FetchSink& sink, const TransferLimits&,
                      const DownloadProgress& onProgress, const DownloadCancelled&) override
    {
        asked.push_back(url);
        const auto found = replies.find(url);
        if (found == replies.end())
            return {FetchOutcome::kStatus, L"HTTP 状态码：404"};
        const Reply& reply = found->second;
        FetchReply head;
        head.length = reply.announced ? reply.announced : reply.body.size();
        if (const vorn::Status opened = sink.Open(head); !opened)
            return {FetchOutcome::kStorage, opened.message()};
        if (const vorn::Status written = sink.Write(reply.body.data(), reply.body.size()); !written)
            return {FetchOutcome::kStorage, written.message()};
        onProgress(reply.body.size(), reply.body.size());
        return {};
    }
};

constexpr wchar_t kBase[] = L"http://memory/";

std::string Manifest(const std::vector<std::pair<std::string, std::string>>& entries)
{
    std::string text = "[Set]\r\nCount=" + std::to_string(entries.size()) + "\r\n[up]\r\n";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        text += "File" + n + "=" + entries[i].first + "\r\nCFile" + n + "=" + entries[i].second + "\r\nXYZ" + n +
                "=12345678\r\n";
    }
    return text;
}

std::wstring ShortName(const std::wstring& path)
{
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
    return fs::path(std::wstring(buffer, length)).filename().wstring();
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// The manifest of files (name -> content) published under their own names, with their real checksums.
std::string ManifestOf(const std::map<std::string, std::string>& files)
{
    std::string manifest = "[Set]\r\nCount=" + std::to_string(files.size()) + "\r\n[up]\r\n";
    int n = 0;
    for (const auto& [name, body] : files) {
        const std::string i = std::to_string(++n);
        manifest += "File" + i + "=" + name + "\r\nCFile" + i + "=" + name + "\r\nXYZ" + i + "=" +
                    Narrow(FormatCrc32(Crc32(0, body.data(), body.size()))) + "\r\n";
    }
    return manifest;
}

}

TEST(UpdateTransaction, AServerThatDripsIsTooSlowAndTheClientStaysAsItWas)
{
    // One site per fault: a site serves one connection at a time.
    const std::wstring site = SiteDir(L"good");
    probe::HttpSite server(site);
    probe::HttpScript drip;
    drip.body = "MZ thirty-six bytes of a new client";
    drip.chunkBytes = 1;
    drip.pauseBetweenChunksMs = 300;  // well inside the stall limit, far below the minimum rate
    server.Script("/Main.exe", drip);
    probe::HttpSite silentServer(site);
    drip.pauseBetweenChunksMs = 20000;
    silentServer.Script("/Launcher.exe", drip);
    probe::TempDir client;
    CopyFromSite(site, client.path(), kSiteFiles);
    probe::WriteFileBytes(client / L"Main.exe", "MZ an old game client");

    QuickFetcher quick;
    UpdateRun run;
    run.fetcher = &quick;
    run.Apply(server, client.path(), client / L"Launcher.exe");
    EXPECT_FALSE(run.result.succeeded);
    EXPECT_EQ(run.result.message, L"文件下载失败：Main.exe\n服务器速度太慢：最近 2 秒平均每秒不到 1 KiB。请稍后重试。");
    EXPECT_EQ(probe::ReadFileBytes(client / L"Main.exe"), "MZ an old game client");
    EXPECT_FALSE(StagingLeft(client.path()));

    CopyFromSite(site, client.path(), {L"Main.exe"});
    probe::WriteFileBytes(client / L"Launcher.exe", "MZ the running launcher");
    run.Apply(silentServer, client.path(), client / L"Launcher.exe");
    EXPECT_EQ(run.result.message, L"文件下载失败：Launcher.exe\n服务器响应太慢：1 秒内没有收到任何数据。请稍后重试。");
    EXPECT_FALSE(probe::FileExists(client / L"Launcher.exe.new"));
    EXPECT_FALSE(StagingLeft(client.path()));
}

TEST(UpdateTransaction, CancelEndsTheUpdateWithinTwoSecondsWhileTheServerDrips)
{
    // One site per run: a site serves one connection at a time and is still dripping after a cancel.
    const std::wstring site = SiteDir(L"good");
    probe::HttpScript drip;
    drip.body = std::string(36, 'M');
    drip.chunkBytes = 1;
    drip.pauseBetweenChunksMs = 20000;

    // The player cancels half a second after `started` download reports; the real bounds apply.
    const auto cancelled = [&](UpdateRun& run, const std::wstring& client, std::size_t started) {
        probe::HttpSite server(site);
        server.Script("/Main.exe", drip);
        server.Script("/Launcher.exe", drip);
        std::optional<std::chrono::steady_clock::time_point> cancelAt;
        run.cancelWhen = [&](const UpdateRun& r) {
            if (!cancelAt && r.Stage(2).size() >= started)
                cancelAt = std::chrono::steady_clock::now() + 500ms;
            return cancelAt && std::chrono::steady_clock::now() >= *cancelAt;
        };
        run.Apply(server, client, client + L"\\Launcher.exe");
        ASSERT_TRUE(cancelAt);
        EXPECT_LT(std::chrono::steady_clock::now() - *cancelAt, 2s);
        EXPECT_FALSE(StagingLeft(client));
    };

    probe::TempDir client;
    std::vector<std::wstring> present = kSiteFiles;
    std::erase(present, L"Main.exe");
    CopyFromSite(site, client.path(), present);
    UpdateRun run;
    cancelled(run, client.path(), 1);
    EXPECT_EQ(run.result.message, L"文件下载失败：Main.exe\n更新操作已取消。");
    EXPECT_FALSE(probe::FileExists(client / L"Main.exe"));

    // Four downloads at once, two of them from the dripping paths: every one of them stops.
    probe::TempDir empty;
    UpdateRun parallel;
    parallel.request.connections = 4;
    cancelled(parallel, empty.path(), 4);
    EXPECT_TRUE(parallel.result.message.starts_with(L"文件下载失败：")) << parallel.result.message.c_str();
    EXPECT_TRUE(parallel.result.message.ends_with(L"\n更新操作已取消。")) << parallel.result.message.c_str();
    EXPECT_TRUE(FilesUnder(empty.path()).empty());
}

TEST(UpdateTransaction, AManifestPastItsCapStopsWithoutFillingTheDisk)
{
    // Fifty MiB of line breaks after "Count=0", announced and not announced, and a body without length that
    // never ends; one site per fault, since a site serves one connection at a time.
    probe::HttpScript breaks;
    breaks.body = "[Set]\r\nCount=0\r\n" + std::string(50u << 20, '\r');
    probe::HttpScript unannounced = breaks;
    unannounced.sendLength = false;
    probe::HttpScript endless;
    endless.body = "[Set]\r\nCount=0\r\n" + std::string(65536, '\n');
    endless.sendLength = false;
    endless.endless = true;
    probe::TempDir client;
    UpdateRun run;
    for (const probe::HttpScript& script : {breaks, unannounced, endless}) {
        probe::HttpSite server;
        server.Script("/up.ini", script);
        run.Apply(server, client.path(), client / L"Launcher.exe");
        EXPECT_EQ(run.result.message, L"更新清单下载失败：" + server.BaseUrl() +
                                          L"up.ini\n服务器发来的内容超过 16 MiB 上限，已停止下载。请确认更新地址是否正确。");
        EXPECT_FALSE(StagingLeft(client.path()));
    }
}

TEST(UpdateTransaction, AFileWithoutLengthThatNeverEndsStopsAtTheCapAndIsNotTriedAgain)
{
    // Zeros without end and no Content-Length; the site gives up after 64 MiB, so that even a launcher without a
    // cap ends this test. The operator's cap here is 8 MiB.
    const std::wstring site = SiteDir(L"good");
    probe::HttpSite server(site);
    probe::HttpScript zeros;
    zeros.body = std::string(65536, '\0');
    zeros.sendLength = false;
    zeros.endless = true;
    zeros.endlessLimit = 64u << 20;
    server.Script("/Main.exe", zeros);
    probe::TempDir client;
    CopyFromSite(site, client.path(), kSiteFiles);
    probe::WriteFileBytes(client / L"Main.exe", "MZ an old game client");

    UpdateRun run;
    run.request.maxUnknownLength = 8u << 20;
    run.Apply(server, client.path(), client / L"Launcher.exe");
    EXPECT_EQ(run.result.message, L"文件下载失败：Main.exe\n服务器没有告知文件大小，发来的内容已超过 8 MiB 上限，已停止下载。"
                                  L"请确认更新地址是否正确。");
    EXPECT_EQ(server.CountRequests("/Main.exe"), 1u);
    EXPECT_LT(server.BodyBytesSent("/Main.exe"), 64u << 20);
    EXPECT_EQ(probe::ReadFileBytes(client / L"Main.exe"), "MZ an old game client");
    EXPECT_FALSE(StagingLeft(client.path()));
}

TEST(UpdateTransaction, ASlowLineGetsTheManifestAndRecordOfALargeClient)
{
    // 20,000 entries: a 3.2 MB manifest and a 2.6 MB record. The quick bounds are about a twentieth of the real
    // ones, so 800 KiB/s here is a player's 40 KiB/s line, on which the two take well over a minute.
    const std::wstring site = SignedSite(L"many");
    probe::HttpSite server(site);
    for (const auto& [target, file] : {std::pair{"/up.ini", L"\\up.ini"}, std::pair{"/up.ini.sig", L"\\up.ini.sig"}}) {
        probe::HttpScript slow;
        slow.body = probe::ReadFileBytes(site + file);
        slow.chunkBytes = 16384;
        slow.pauseBetweenChunksMs = 20;
        server.Script(target, slow);
    }
    probe::TempDir client;
    QuickFetcher quick;
    UpdateRun run;
    run.fetcher = &quick;
    run.request.publicKey = SignedSitesPublicKey();
    // Both arrived and hold once the check pass starts; the player need not wait for 20,000 downloads here.
    run.cancelWhen = [](const UpdateRun& r) { return !r.Stage(1).empty(); };
    run.Apply(server, client.path(), client / L"Launcher.exe");
    EXPECT_EQ(run.result.message, L"更新操作已取消。");
    ASSERT_FALSE(run.Stage(1).empty());
    EXPECT_EQ(run.reports.back().stage, vorn::UpdateStage::kChecking);
    EXPECT_EQ(run.reports.back().total, 20000u);
    EXPECT_EQ(server.CountRequests("/up.ini"), 1u);
    EXPECT_EQ(server.CountRequests("/up.ini.sig"), 1u);
}

TEST(UpdateTransaction, TheLauncherIsKnownByItsShortNameAndGoesBesideItself)
{
    probe::TempDir site;
    probe::TempDir client;
    const std::string next = "MZ the next launcher";
    probe::WriteFileBytes(site / L"next.exe", next);
    const std::wstring launcher = client / L"Vorn Launcher Program.exe";
    probe::WriteFileBytes(launcher, "MZ the running launcher");
    const std::wstring alias = ShortName(launcher);
    ASSERT_NE(alias.find(L'~'), std::wstring::npos) << alias;
    std::string manifest = Manifest({{"next.exe", Narrow(alias)}});
    manifest.replace(manifest.find("12345678"), 8, Narrow(FormatCrc32(*FileCrc32(site / L"next.exe"))));
    probe::WriteFileBytes(site / L"up.ini", manifest);
    probe::HttpSite server(site.path());
    // Open as a running executable is: the file itself cannot be replaced.
    const UniqueFile running(CreateFileW(launcher.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(running);

    UpdateRun run;
    run.Apply(server, client.path(), launcher);
    ASSERT_TRUE(run.result.succeeded) << run.result.message.c_str();
    EXPECT_TRUE(run.result.restartRequired);
    EXPECT_EQ(probe::ReadFileBytes(launcher + L".new"), next);
    EXPECT_EQ(probe::ReadFileBytes(launcher), "MZ the running launcher");
    EXPECT_FALSE(StagingLeft(client.path()));
}

// The launcher's own files in the client folder (its record of verified files, the probe of the folder's clock)
// are no more a manifest's to write than the staging folders are.
TEST(UpdateTransaction, EntriesReachingTheNewLauncherOrAStagingFolderAreRefusedBeforeAnyDownload)
{
    probe::TempDir client;
    const std::wstring launcher = client / L"Vorn Launcher Program.exe";
    probe::WriteFileBytes(launcher, "MZ the running launcher");
    probe::WriteFileBytes(launcher + L".new", "MZ a launcher waiting for its start");
    const std::string newAlias = Narrow(ShortName(launcher + L".new"));
    MemoryFetcher memory;
    UpdateRun run;
    run.fetcher = &memory;

    for (const std::string& local : {std::string("vorn launcher program.EXE.new"), newAlias,
                                     std::string(".Vorn-Update-1-2-3\\0"), std::string(".VORN-verified"),
                                     std::string(".vorn-verified.new"), std::string(".vorn-clock-1-2\\x")}) {
        memory.replies[std::wstring(kBase) + L"up.ini"] = {Manifest({{"a.bin", "a.bin"}, {"b.bin", local}}), {}};
        memory.asked.clear();
        run.Apply(kBase, client.path(), launcher);
        EXPECT_EQ(run.result.message, L"更新清单第 2 项路径或 CRC32 无效。") << local;
        EXPECT_EQ(memory.asked.size(), 1u);
    }
    EXPECT_EQ(probe::ReadFileBytes(launcher + L".new"), "MZ a launcher waiting for its start");
    EXPECT_FALSE(StagingLeft(client.path()));
}

TEST(UpdateTransaction, AFileLargerThanTheFreeSpaceNamesTheSizeAndIsNeverWritten)
{
    probe::TempDir client;
    MemoryFetcher memory;
    memory.replies[std::wstring(kBase) + L"up.ini"] = {Manifest({{"huge.bin", "huge.bin"}}), {}};
    memory.replies[std::wstring(kBase) + L"huge.bin"] = {"", std::uint64_t{1} << 50};
    UpdateRun run;
    run.fetcher = &memory;

    run.Apply(kBase, client.path(), client / L"Launcher.exe");
    EXPECT_FALSE(run.result.succeeded);
    EXPECT_EQ(run.result.message, L"文件下载失败：huge.bin\n磁盘空间不足：此文件需要 1125899906842624 字节"
                                  L"（约 1073741824 MiB）的可用空间，另须为系统留出 256 MiB。请清理磁盘后重试。");
    EXPECT_EQ(memory.asked.size(), 2u);
    EXPECT_TRUE(FilesUnder(client.path()).empty());
}

TEST(UpdateTransaction, AFileFoundOutOfDateIsDownloadedWhileTheLaterFilesAreChecked)
{
    // The first of three files is missing from the client, the other two are current. The report of the last
    // file's check waits (at most five seconds) until the site is asked for the first file: that happens only
    // when a download can begin before the check pass has ended.
    const std::map<std::string, std::string> files = {
        {"a.bin", "the first file"}, {"b.bin", "the second file"}, {"c.bin", "the third file"}};
    const std::string manifest = ManifestOf(files);
    const auto firstAsked = [](const probe::HttpSite& server) {
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (server.CountRequests("/a.bin") == 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(10ms);
        return server.CountRequests("/a.bin") != 0;
    };

    // Last, a cancel before the last check, with the first file downloaded and its thread waiting for the next
    // one: every thread stops (a waiting thread that missed the stop would hold the update for ever), nothing is
    // reported as downloaded and nothing is installed.
    for (const auto& [connections, cancel] : {std::pair{1u, false}, std::pair{3u, false}, std::pair{3u, true}}) {
        SCOPED_TRACE(connections);
        probe::HttpSite server;
        probe::HttpScript script;
        script.body = manifest;
        server.Script("/up.ini", script);
        for (const auto& [name, body] : files) {
            script.body = body;
            server.Script("/" + name, script);
        }
        probe::TempDir client;
        probe::WriteFileBytes(client / L"b.bin", files.at("b.bin"));
        probe::WriteFileBytes(client / L"c.bin", files.at("c.bin"));
        UpdateRun run;
        run.request.connections = connections;
        std::optional<bool> overlapped;
        run.whenReported = [&](const vorn::UpdateProgress& p) {
            if (p.stage == vorn::UpdateStage::kChecking && p.current == 3)
                overlapped = firstAsked(server);
        };
        run.cancelWhen = [&](const UpdateRun& r) {
            if (!cancel || r.Stage(1).size() != 2 || !firstAsked(server))
                return false;
            // Time for the thread to verify the small file and wait for the next one.
            std::this_thread::sleep_for(200ms);
            return true;
        };
        run.Apply(server, client.path(), client / L"Launcher.exe");
        EXPECT_FALSE(StagingLeft(client.path()));
        if (cancel) {
            EXPECT_EQ(run.result.message, L"更新操作已取消。");
            EXPECT_EQ(run.Stage(1).size(), 2u);
            EXPECT_TRUE(run.Stage(2).empty());
            EXPECT_EQ(FilesUnder(client.path()), (std::vector<std::wstring>{L"b.bin", L"c.bin"}));
            continue;
        }
        ASSERT_TRUE(run.result.succeeded) << run.result.message.c_str();
        EXPECT_EQ(overlapped, std::optional<bool>(true));
        EXPECT_EQ(probe::ReadFileBytes(client / L"a.bin"), files.at("a.bin"));
        // The reports still tell one pass after the other: every check, then the download counted out of one.
        std::vector<std::wstring> described;
        for (const auto& p : run.reports)
            described.push_back(Describe(p));
        EXPECT_EQ(described, (std::vector<std::wstring>{L"0 0/0 0 0 ", L"1 1/3 0 0 a.bin", L"1 2/3 0 0 b.bin",
                                                        L"1 3/3 0 0 c.bin", L"2 1/1 0 0 a.bin",
                                                        L"2 1/1 100 90 a.bin", L"3 1/1 100 90 a.bin",
                                                        L"4 1/1 100 90 a.bin", L"5 1/1 100 100 "}));
    }
}

// A start reads only the files whose size, times or id changed since they were found current, and finds a file
// that it may not open current all the same; the record goes when it is damaged, is not used with the quick check
// off, and learns installed files once they have been read. A file is only trusted when its times lie two seconds
// before the pass that read it, hence the two waits.
TEST(UpdateTransaction, AStartReadsOnlyTheFilesWhoseStampsChanged)
{
    const std::map<std::string, std::string> files = {
        {"a.bin", "first file"}, {"b.bin", "second file"}, {"c.bin", "third file"}, {"d.bin", "fourth, new"}};
    MemoryFetcher memory;
    memory.replies[std::wstring(kBase) + L"up.ini"] = {ManifestOf(files), {}};
    for (const auto& [name, body] : files)
        memory.replies[std::wstring(kBase) + std::wstring(name.begin(), name.end())] = {body, {}};
    probe::TempDir client;
    for (const auto& [name, body] : files)
        probe::WriteFileBytes(client / std::wstring(name.begin(), name.end()), name == "d.bin" ? "fourth, old" : body);
    const std::wstring record = client / L".vorn-verified";
    // Holds the files open without sharing, as nothing else may then open them: a read of one fails.
    const auto hold = [&](std::initializer_list<const wchar_t*> names) {
        std::vector<UniqueFile> held;
        for (const wchar_t* name : names)
            held.emplace_back(CreateFileW((client / name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        return held;
    };
    const auto start = [&](bool quickCheck = true) {
        UpdateRun run;
        run.fetcher = &memory;
        run.request.quickCheck = quickCheck;
        run.request.launcherVersion = L"2.3.4";
        run.Apply(kBase, client.path(), client / L"Launcher.exe");
        EXPECT_EQ(run.Stage(1).size(), 4u);
        return run;
    };
    std::this_thread::sleep_for(2100ms);

    // The first start reads every file and installs the new one; the next opens none of the files it read.
    EXPECT_EQ(start().started, std::vector<std::wstring>{L"d.bin"});
    ASSERT_TRUE(probe::FileExists(record));
    {
        const std::vector<UniqueFile> held = hold({L"a.bin", L"c.bin"});
        UpdateRun quick = start();
        EXPECT_TRUE(quick.result.succeeded) << quick.result.message.c_str();
        EXPECT_TRUE(quick.started.empty());
        // With the quick check off, every file is read: the held files cannot be and are downloaded.
        EXPECT_EQ(start(false).started, (std::vector<std::wstring>{L"a.bin", L"c.bin"}));
    }
    const std::string recordBefore = probe::ReadFileBytes(record);
    EXPECT_TRUE(start(false).result.succeeded);
    EXPECT_EQ(probe::ReadFileBytes(record), recordBefore);

    // Rewritten in place with the same size and its last-write time set back: read again, found out of date.
    {
        FILETIME written{};
        UniqueFile b(CreateFileW((client / L"b.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(b && GetFileTime(b.get(), nullptr, nullptr, &written));
        DWORD wrote = 0;
        ASSERT_TRUE(WriteFile(b.get(), "SECOND", 6, &wrote, nullptr) && wrote == 6);
        ASSERT_TRUE(SetFileTime(b.get(), nullptr, nullptr, &written));
    }
    std::vector<UniqueFile> heldA = hold({L"a.bin"});
    EXPECT_EQ(start().started, std::vector<std::wstring>{L"b.bin"});
    EXPECT_EQ(probe::ReadFileBytes(client / L"b.bin"), files.at("b.bin"));

    // A damaged record is not used at all: the held file must be read and cannot be.
    std::string damaged = probe::ReadFileBytes(record);
    damaged[damaged.size() / 2] ^= 0x01;
    probe::WriteFileBytes(record, damaged);
    EXPECT_EQ(start().started, std::vector<std::wstring>{L"a.bin"});
    EXPECT_EQ(probe::ReadFileBytes(record), damaged);

    // The files installed since are read once and remembered: then they too are not opened.
    heldA.clear();
    std::this_thread::sleep_for(2100ms);
    EXPECT_TRUE(start().result.succeeded);
    const std::vector<UniqueFile> installed = hold({L"b.bin", L"d.bin"});
    UpdateRun quick = start();
    EXPECT_TRUE(quick.result.succeeded) << quick.result.message.c_str();
    EXPECT_TRUE(quick.started.empty());
}

namespace {

// The text in the ANSI code page when every character has an exact form there; else none.
std::optional<std::string> AnsiForm(const std::wstring& text)
{
    BOOL lossy = FALSE;
    const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, &lossy);
    std::string bytes(static_cast<std::size_t>(std::max(length, 0)), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()), bytes.data(),
                        length, nullptr, &lossy);
    if (lossy || length <= 0)
        return std::nullopt;
    return bytes;
}

// The bytes read as UTF-8; empty when they are not valid UTF-8.
std::wstring AsUtf8(const std::string& bytes)
{
    const int length =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(std::max(length, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                        length);
    return text;
}

}

// A manifest without a byte order mark is text in the player's ANSI code page, as the system's reader takes it,
// also when its bytes happen to be valid UTF-8: the GBK name 魔石/战士 reads as "ħʯ/սʿ" in UTF-8. CTest runs this
// once more in the Chinese code page (update_ansi_936); other code pages use a name of theirs with the same trap.
// The name is a site path, so the site is asked for the file under the name the launcher read.
TEST(ManifestText, AManifestWithoutAMarkIsReadInTheAnsiCodePageEvenWhenItLooksLikeUtf8)
{
    if (const char* expected = std::getenv("VORN_EXPECT_ACP")) {
        ASSERT_EQ(GetACP(), static_cast<UINT>(std::atoi(expected))) << "the test runs in the wrong code page";
    }
    const struct {
        std::wstring name;
        std::string target;  // the name as the launcher asks the site for it
    } candidates[] = {{L"魔石/战士.bmd", "/%E9%AD%94%E7%9F%B3/%E6%88%98%E5%A3%AB.bmd"},
                      {L"\x00C3\x00A9.bmd", "/%C3%83%C2%A9.bmd"}};
    std::wstring name;
    std::string ansi;
    std::string target;
    for (const auto& candidate : candidates) {
        const std::optional<std::string> bytes = AnsiForm(candidate.name);
        if (bytes && !AsUtf8(*bytes).empty() && AsUtf8(*bytes) != candidate.name) {
            name = candidate.name;
            ansi = *bytes;
            target = candidate.target;
            break;
        }
    }
    ASSERT_FALSE(name.empty()) << "no name with that trap in code page " << GetACP();

    const std::string body = "a file whose site path is not ASCII";
    probe::HttpSite server;
    probe::HttpScript manifest;
    manifest.body = "[Set]\r\nCount=1\r\n[up]\r\nFile1=" + ansi + "\r\nCFile1=Data\\stone.bmd\r\nXYZ1=" +
                    Narrow(FormatCrc32(Crc32(0, body.data(), body.size()))) + "\r\n";
    server.Script("/up.ini", manifest);
    probe::HttpScript file;
    file.body = body;
    server.Script(target, file);
    probe::TempDir client;

    UpdateRun run;
    run.Apply(server, client.path(), client / L"Launcher.exe");
    ASSERT_TRUE(run.result.succeeded) << run.result.message.c_str();
    EXPECT_EQ(probe::ReadFileBytes(client / L"Data\\stone.bmd"), body);
    EXPECT_EQ(server.CountRequests(target), 1u);

    // The system's own reader takes the same name from the same bytes.
    probe::WriteFileBytes(client / L"up.ini", manifest.body);
    wchar_t read[MAX_PATH] = {};
    GetPrivateProfileStringW(L"up", L"File1", L"", read, MAX_PATH, (client / L"up.ini").c_str());
    EXPECT_EQ(std::wstring(read), name);
}
