#include "update/installed_release.h"
#include "tests/update/update_run.h"
#include "update/http_reply.h"
#include "update/update_transaction.h"

#include "tests/support/http_site.h"
#include "tests/support/process_probe.h"
#include "tests/update/signed_sites.h"
#include "update/fetcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::vector<std::wstring> kSignedFiles = {L"Data\\Local\\a b.txt", L"Data\\地图\\lorencia.map", L"Main.exe"};

vorn::UpdateResult Apply(const probe::HttpSite& server, const probe::TempDir& client, const std::wstring& key,
                         std::uint64_t minimumRelease = 0)
{
    UpdateRun run;
    run.request.publicKey = key;
    run.request.minimumRelease = minimumRelease;
    return run.Apply(server, client.path(), client / L"Launcher.exe").result;
}

// A client holding every file of a signed site, and the names of its files.
void CopySite(const std::wstring& site, const probe::TempDir& client)
{
    for (const std::wstring& file : kSignedFiles) {
        fs::create_directories((fs::path(client.path()) / file).parent_path());
        fs::copy_file(fs::path(SignedSite(site)) / file, fs::path(client.path()) / file);
    }
}

// The site's requests for the listed files, not the manifest or its record.
std::size_t FileRequests(const probe::HttpSite& server)
{
    const auto requests = server.Requests();
    return static_cast<std::size_t>(std::count_if(requests.begin(), requests.end(), [](const auto& request) {
        return !request.target.starts_with("/up.ini");
    }));
}

}

TEST(SignedUpdate, ASignedReleaseInstallsAndAnOlderOneIsRefusedAfterIt)
{
    probe::HttpSite server(SignedSite(L"signed"));
    probe::TempDir client;
    const vorn::UpdateResult first = Apply(server, client, SignedSitesPublicKey());
    ASSERT_TRUE(first.succeeded) << first.message.c_str();
    EXPECT_EQ(first.filesUpdated, 3);
    for (const std::wstring& file : kSignedFiles)
        EXPECT_EQ(probe::ReadFileBytes(client / file), probe::ReadFileBytes(SignedSite(L"signed\\" + file)));
    EXPECT_EQ(probe::ReadFileBytes(client / kInstalledReleaseFileName), "7\n");
    EXPECT_EQ(server.CountRequests("/up.ini.sig"), 1u);

    // The same release again is fine; a client that has installed release 8 since refuses 7 served again.
    const vorn::UpdateResult again = Apply(server, client, SignedSitesPublicKey());
    EXPECT_TRUE(again.succeeded) << again.message.c_str();
    EXPECT_EQ(again.filesUpdated, 0);
    ASSERT_TRUE(WriteInstalledRelease(client.path(), 8));
    probe::WriteFileBytes(client / L"Main.exe", "the player's own Main.exe");
    const vorn::UpdateResult replayed = Apply(server, client, SignedSitesPublicKey());
    EXPECT_FALSE(replayed.succeeded);
    EXPECT_EQ(replayed.message, L"更新的发布号 7 低于已安装的发布号 8，已拒绝安装。");
    EXPECT_EQ(probe::ReadFileBytes(client / L"Main.exe"), "the player's own Main.exe");
    EXPECT_EQ(probe::ReadFileBytes(client / kInstalledReleaseFileName), "8\n");
    EXPECT_EQ(FileRequests(server), 3u);
}

TEST(SignedUpdate, ACutRecordAndManifestContinueWhereTheyWereCut)
{
    probe::HttpSite server(SignedSite(L"signed"));
    server.CutFirstAnswer("/up.ini.sig", 300);
    server.CutFirstAnswer("/up.ini", 200);
    probe::TempDir client;
    const vorn::UpdateResult result = Apply(server, client, SignedSitesPublicKey());
    ASSERT_TRUE(result.succeeded) << result.message.c_str();
    std::vector<std::string> ranges;
    for (const auto& request : server.Requests()) {
        if (request.target.starts_with("/up.ini"))
            ranges.push_back(request.target + " " + (request.headers.contains("range") ? request.headers.at("range") : ""));
    }
    EXPECT_EQ(ranges, (std::vector<std::string>{"/up.ini.sig ", "/up.ini.sig bytes=300-", "/up.ini ", "/up.ini bytes=200-"}));
}

// A redirect answers one request: the record comes from the mirror, the manifest and the files from the site.
TEST(SignedUpdate, ARedirectOfTheRecordLeavesTheLaterRequestsOnTheConfiguredSite)
{
    probe::HttpSite server(SignedSite(L"signed"));
    probe::HttpSite mirror(SignedSite(L"signed"));
    probe::HttpScript moved;
    moved.status = 302;
    moved.headers = {"Location: http://127.0.0.1:" + std::to_string(mirror.Port()) + "/up.ini.sig"};
    server.Script("/up.ini.sig", moved);
    probe::TempDir client;
    const vorn::UpdateResult result = Apply(server, client, SignedSitesPublicKey());
    ASSERT_TRUE(result.succeeded) << result.message.c_str();
    EXPECT_EQ(result.filesUpdated, 3);
    std::vector<std::string> mirrored;
    for (const auto& request : mirror.Requests())
        mirrored.push_back(request.target);
    EXPECT_EQ(mirrored, std::vector<std::string>{"/up.ini.sig"});
    EXPECT_EQ(server.CountRequests("/up.ini"), 1u);
    EXPECT_EQ(FileRequests(server), 3u);
}

TEST(SignedUpdate, WhatTheSiteChangedAfterSigningIsRefusedWithNothingInstalled)
{
    const std::string mainExe = probe::ReadFileBytes(SignedSite(L"signed\\Main.exe"));
    const std::string manifest = probe::ReadFileBytes(SignedSite(L"signed\\up.ini"));
    struct Case {
        const char* target;
        std::string body;
        std::wstring message;
        std::size_t fileRequests;
        bool announced = true;  // the body comes with its Content-Length
        std::vector<std::string> headers = {};
    };
    std::string swapped = mainExe;
    swapped[100] ^= 0x20;
    std::string edited = manifest;
    edited[edited.find("Count")] = 'c';  // the same entries to the manifest reader, other bytes
    // A file that fails its check is fetched once more past any cache before the update gives up on it.
    const std::vector<Case> cases = {
        {"/Main.exe", swapped, L"文件与更新签名不符：Main.exe，已拒绝安装。", 4},
        {"/Main.exe", mainExe + "MZ",
         L"文件下载失败：Main.exe\n文件大小与更新签名不符：服务器声明 " + std::to_wstring(mainExe.size() + 2) +
             L" 字节，签名为 " + std::to_wstring(mainExe.size()) + L" 字节，已停止下载。",
         3},
        {"/Main.exe", mainExe + "MZ",
         L"文件下载失败：Main.exe\n文件大小与更新签名不符：服务器发来的内容超过签名中的 " +
             std::to_wstring(mainExe.size()) + L" 字节，已停止下载。",
         3, false},
        // Compressed by a server although nobody asked: named at once, not after a download that cannot hold.
        {"/Main.exe", std::string("\x1f\x8b\x08\x00", 4) + "compressed bytes",
         L"文件下载失败：Main.exe\n服务器以未经请求的编码（gzip）发送内容，已停止下载。请在更新站点关闭对这些文件的压缩", 3,
         true, {"Content-Encoding: gzip"}},
        {"/up.ini", edited, L"更新清单与签名不符，已拒绝安装。", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        probe::HttpSite server(SignedSite(L"signed"));
        probe::HttpScript script;
        script.body = c.body;
        script.sendLength = c.announced;
        script.headers = c.headers;
        server.Script(c.target, script);
        probe::TempDir client;
        const vorn::UpdateResult result = Apply(server, client, SignedSitesPublicKey());
        EXPECT_FALSE(result.succeeded);
        EXPECT_EQ(result.message, c.message);
        EXPECT_TRUE(fs::is_empty(client.path()));
        EXPECT_EQ(FileRequests(server), c.fileRequests);
    }
}

TEST(SignedUpdate, AnUnsignedSiteIsRefusedWithAKeyAndUpdatesWithoutOne)
{
    const std::wstring unsignedSite =
        fs::weakly_canonical(fs::path(probe::BinDir()) / L".." / L"update-sites" / L"good").wstring();
    probe::HttpSite server(unsignedSite);
    probe::TempDir client;
    const vorn::UpdateResult refused = Apply(server, client, SignedSitesPublicKey());
    EXPECT_EQ(refused.message, L"更新站点缺少更新签名，已拒绝安装。");
    EXPECT_EQ(FileRequests(server), 0u);

    probe::HttpScript failing;
    failing.status = 500;
    server.Script("/up.ini.sig", failing);
    EXPECT_EQ(Apply(server, client, SignedSitesPublicKey()).message,
              L"更新签名下载失败：" + server.BaseUrl() + L"up.ini.sig\n" + HttpStatusMessage(500));
    EXPECT_TRUE(fs::is_empty(client.path()));

    const vorn::UpdateResult plain = Apply(server, client, L"");
    ASSERT_TRUE(plain.succeeded) << plain.message.c_str();
    EXPECT_EQ(plain.filesUpdated, 5);
    // Once without a record, then the server error tried again after each pause; never without a key.
    EXPECT_EQ(server.CountRequests("/up.ini.sig"), 1u + 1u + kRetryPauses.size());
    EXPECT_FALSE(probe::FileExists(client / kInstalledReleaseFileName));
}

// The site publishes release 8 just after the launcher took release 7's record, so the manifest it fetches next is
// release 8's. The pair is asked for again; only a mismatch that stays is reported as one.
TEST(SignedUpdate, APublishBetweenTheRecordAndTheManifestIsAskedForAgain)
{
    const std::string olderRecord = probe::ReadFileBytes(SignedSite(L"signed\\up.ini.sig"));
    for (const std::uint32_t straddled : {1u, 2u, 0u}) {
        SCOPED_TRACE(straddled);
        probe::HttpSite server(SignedSite(L"next"));
        probe::HttpScript published;
        published.body = olderRecord;
        published.answers = straddled;  // 0: every time, a site that really is wrong
        server.Script("/up.ini.sig", published);
        probe::TempDir client;
        CopySite(L"signed", client);
        const vorn::UpdateResult result = Apply(server, client, SignedSitesPublicKey());
        if (straddled == 0) {
            EXPECT_EQ(result.message, L"更新清单与签名不符，已拒绝安装。");
            EXPECT_EQ(probe::ReadFileBytes(client / L"Main.exe"),
                      probe::ReadFileBytes(SignedSite(L"signed\\Main.exe")));
            EXPECT_FALSE(probe::FileExists(client / kInstalledReleaseFileName));
            EXPECT_EQ(server.CountRequests("/up.ini.sig"), 3u);
            EXPECT_EQ(FileRequests(server), 0u);
            continue;
        }
        ASSERT_TRUE(result.succeeded) << result.message.c_str();
        EXPECT_EQ(result.filesUpdated, 1);
        EXPECT_EQ(probe::ReadFileBytes(client / L"Main.exe"), probe::ReadFileBytes(SignedSite(L"next\\Main.exe")));
        EXPECT_EQ(probe::ReadFileBytes(client / kInstalledReleaseFileName), "8\n");
        EXPECT_EQ(server.CountRequests("/up.ini.sig"), straddled + 1u);
        EXPECT_EQ(server.CountRequests("/up.ini"), straddled + 1u);
    }
}

// A client unpacked from release 8's package has no record of a release yet: a replayed release 7, genuinely
// signed, is refused by the launcher's minimum. So is a record whose days are over, whatever its release.
TEST(SignedUpdate, AReleaseBelowTheLaunchersMinimumOrPastItsDaysIsRefusedWithTheClientUnchanged)
{
    const struct {
        const wchar_t* site;
        std::uint64_t minimumRelease;
        std::wstring message;
    } cases[] = {
        {L"signed", 8, L"更新的发布号 7 低于本登录器要求的最低发布号 8，已拒绝安装。"},
        {L"expired", 0, L"更新签名已于 2001-09-10 过期"},
        {L"no-time", 0, L"更新签名没有注明有效期，已拒绝安装。"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.site);
        probe::HttpSite server(SignedSite(c.site));
        probe::TempDir client;
        CopySite(L"next", client);
        const vorn::UpdateResult result = Apply(server, client, SignedSitesPublicKey(), c.minimumRelease);
        EXPECT_FALSE(result.succeeded);
        EXPECT_TRUE(result.message.starts_with(c.message)) << result.message.c_str();
        EXPECT_EQ(probe::ReadFileBytes(client / L"Main.exe"), probe::ReadFileBytes(SignedSite(L"next\\Main.exe")));
        EXPECT_FALSE(probe::FileExists(client / kInstalledReleaseFileName));
        EXPECT_EQ(FileRequests(server), 0u);
    }
    // The release the launcher shipped in, and later ones, install.
    probe::HttpSite server(SignedSite(L"next"));
    probe::TempDir client;
    CopySite(L"signed", client);
    const vorn::UpdateResult next = Apply(server, client, SignedSitesPublicKey(), 8);
    ASSERT_TRUE(next.succeeded) << next.message.c_str();
    EXPECT_EQ(probe::ReadFileBytes(client / kInstalledReleaseFileName), "8\n");
}
