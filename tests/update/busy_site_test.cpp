#include "update/site_connections.h"

// The nginx site's lifeline speaks Winsock, whose header must come before windows.h.
#include "tests/support/nginx_site.h"

#include "tests/support/http_site.h"
#include "tests/support/process_probe.h"
#include "update/crc32.h"
#include "update/crc32_compute.h"
#include "update/file_download.h"
#include "update/http_download.h"
#include "tests/update/update_run.h"
#include "update/update_transaction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

TEST(BusySite, RetryAfterIsReadAsSecondsOrAsADateAgainstTheReplysDate)
{
    using std::chrono::seconds;
    const std::wstring date = L"Wed, 21 Oct 2026 07:28:00 GMT";
    EXPECT_EQ(ParseRetryAfter(L"1", L""), seconds(1));
    EXPECT_EQ(ParseRetryAfter(L" 120\t", date), seconds(120));
    EXPECT_EQ(ParseRetryAfter(L"99999999999999999999999", L""), seconds(1 << 30));
    EXPECT_EQ(ParseRetryAfter(L"Wed, 21 Oct 2026 07:28:45 GMT", date), seconds(45));
    EXPECT_EQ(ParseRetryAfter(L"Wed, 21 Oct 2026 07:00:00 GMT", date), seconds(0));
    for (const wchar_t* unread : {L"", L"  ", L"-1", L"1.5", L"soon"})
        EXPECT_EQ(ParseRetryAfter(unread, date), std::nullopt) << unread;
    EXPECT_EQ(ParseRetryAfter(L"Wed, 21 Oct 2026 07:28:45 GMT", L""), std::nullopt);

    EXPECT_EQ(BusyPause(seconds(1), 5), std::chrono::milliseconds(1000));
    EXPECT_EQ(BusyPause(seconds(3600), 0), kRetryAfterCap);
    EXPECT_EQ(BusyPause(std::nullopt, 0), kRetryPauses[0]);
    EXPECT_EQ(BusyPause(std::nullopt, 9), kRetryPauses.back());
}

TEST(BusySite, ARefusalAmongOthersLowersTheCountToOneFewerThanRanAndARefusalAloneDoesNot)
{
    SiteConnections site(8);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(site.Take({}));
    EXPECT_TRUE(site.Refused());
    EXPECT_EQ(site.Count(), 2u);
    // Three still hold a connection, above the count: the next refusal counts from the count.
    EXPECT_TRUE(site.Refused());
    EXPECT_EQ(site.Count(), 1u);
    site.Give();
    site.Give();
    EXPECT_FALSE(site.Refused());
    EXPECT_EQ(site.Count(), 1u);
    // Full: a taker waits until the player cancels.
    int asked = 0;
    EXPECT_FALSE(site.Take([&] { return ++asked == 3; }));
    site.Give();
    EXPECT_TRUE(site.Take({}));
}

namespace {

constexpr int kFiles = 6;
constexpr std::uint32_t kConnections = 8;

std::string FileBody(int index)
{
    std::string body(32 << 10, '\0');
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>((i * 7 + static_cast<std::size_t>(index) * 131 + i / 251) & 0xFF);
    return body;
}

// kFiles files and their manifest in the site folder.
void MakeSite(const probe::TempDir& site)
{
    std::string manifest = "[Set]\r\nCount=" + std::to_string(kFiles) + "\r\n[up]\r\n";
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "file" + std::to_string(i) + ".bin";
        const std::string body = FileBody(i);
        probe::WriteFileBytes(site / std::wstring(name.begin(), name.end()), body);
        const std::wstring crc = FormatCrc32(Crc32(0, body.data(), body.size()));
        const std::string n = std::to_string(i + 1);
        manifest += "File" + n + "=" + name + "\r\nCFile" + n + "=" + name + "\r\nXYZ" + n + "=" +
                    std::string(crc.begin(), crc.end()) + "\r\n";
    }
    probe::WriteFileBytes(site / L"up.ini", manifest);
}

}

// nginx serves each answer at 16 KiB a second after a first second's worth at once, so a file takes a second
// and the downloads at once overlap and meet the site's limit on the requests of one client; it answers the
// rest 503 (limit_conn as it comes) or 429 with Retry-After.
TEST(BusySite, AnUpdateMeetingALimitOnConnectionsDownloadsFewerAtOnceAndEnds)
{
    struct Case {
        const char* name;
        const wchar_t* limit;
        int status;
        std::optional<int> retryAfter;
        double pause;  // seconds at least between a refusal and the next request for that file
    };
    probe::TempDir site;
    MakeSite(site);
    for (const Case& c : {Case{"two at once, 503", L"2", 503, std::nullopt, 0.5},
                          Case{"one at once, 429 with Retry-After: 1", L"1", 429, 1, 1.0}}) {
        SCOPED_TRACE(c.name);
        std::vector<std::wstring> options = {L"--rate", L"16384", L"--limit-conn", c.limit, L"--limit-status",
                                             std::to_wstring(c.status)};
        if (c.retryAfter)
            options.insert(options.end(), {L"--retry-after", std::to_wstring(*c.retryAfter)});
        const probe::NginxSite nginx(site.path(), options);
        ASSERT_TRUE(nginx.running()) << nginx.failure();
        probe::TempDir client;
        UpdateRun run;
        run.request.connections = kConnections;
        const vorn::UpdateResult result = run.Apply(nginx.BaseUrl(), client.path(), client / L"Launcher.exe").result;
        ASSERT_TRUE(result.succeeded) << result.message.c_str();
        EXPECT_EQ(result.filesUpdated, kFiles);
        for (int i = 0; i < kFiles; ++i)
            EXPECT_TRUE(probe::ReadFileBytes(client / (L"file" + std::to_wstring(i) + L".bin")) == FileBody(i)) << i;

        // Each refusal with others running lowers the count by one at least, and none comes once it is down to
        // the limit: at most one refusal for each download at once above one.
        const std::vector<probe::NginxTransfer> transfers =
            nginx.TransfersOnceLogged(kFiles, [&c](const probe::NginxTransfer& transfer) {
                return transfer.status != c.status && transfer.target.starts_with("/file");
            });
        std::size_t refusals = 0;
        for (std::size_t i = 0; i < transfers.size(); ++i) {
            if (transfers[i].status != c.status)
                continue;
            ++refusals;
            std::size_t next = i + 1;
            while (next < transfers.size() && transfers[next].target != transfers[i].target)
                ++next;
            ASSERT_LT(next, transfers.size()) << transfers[i].target << " was never asked again";
            EXPECT_GE(transfers[next].time - transfers[i].time, c.pause - 0.001) << transfers[i].target;
        }
        EXPECT_GE(refusals, 1u);
        EXPECT_LE(refusals, static_cast<std::size_t>(kFiles - 1));
    }
}

// Refused alone, a file is tried again like after any passing failure, once the site's Retry-After has passed.
TEST(BusySite, ARefusalWithRetryAfterIsWaitedOutBeforeTheFileIsAskedAgain)
{
    probe::TempDir site;
    MakeSite(site);
    probe::HttpSite server(site.path());
    probe::HttpScript limited;
    limited.status = 429;
    limited.body = "too many requests";
    limited.headers = {"Retry-After: 1"};
    limited.answers = 2;
    server.Script("/file0.bin", limited);
    probe::TempDir client;
    const vorn::UpdateResult result = UpdateRun().Apply(server, client.path(), client / L"Launcher.exe").result;
    ASSERT_TRUE(result.succeeded) << result.message.c_str();
    EXPECT_TRUE(probe::ReadFileBytes(client / L"file0.bin") == FileBody(0));
    std::vector<std::chrono::steady_clock::time_point> asked;
    for (const probe::HttpRequestRecord& request : server.Requests()) {
        if (request.target == "/file0.bin")
            asked.push_back(request.at);
    }
    ASSERT_EQ(asked.size(), 3u);
    // Longer than the pauses after a server error (half a second, then one).
    EXPECT_GE(asked[1] - asked[0], std::chrono::seconds(1));
    EXPECT_GE(asked[2] - asked[1], std::chrono::seconds(1));
}

// A site that refuses every file as busy fails the update once a single connection has been refused through
// the usual tries, not sooner and not never: the refusals among others run out as the count falls to one.
TEST(BusySite, ASiteRefusingEveryFileFailsTheUpdateAfterTheUsualTriesOfOneConnection)
{
    probe::TempDir site;
    MakeSite(site);
    probe::HttpSite server(site.path());
    probe::HttpScript busy;
    busy.status = 503;
    busy.body = "busy";
    for (int i = 0; i < kFiles; ++i)
        server.Script("/file" + std::to_string(i) + ".bin", busy);
    probe::TempDir client;
    UpdateRun run;
    run.request.connections = kConnections;
    const auto start = std::chrono::steady_clock::now();
    const vorn::UpdateResult result = run.Apply(server, client.path(), client / L"Launcher.exe").result;
    EXPECT_FALSE(result.succeeded);
    EXPECT_TRUE(result.message.starts_with(L"文件下载失败：file")) << result.message.c_str();
    EXPECT_TRUE(result.message.ends_with(L".bin\nHTTP 状态码：503")) << result.message.c_str();
    // Each file is refused once among others at most, then alone, where the one that has had the four tries of
    // a failure ends the update; the others have had as many tries at most.
    const std::size_t asked = server.Requests().size() - 1;
    EXPECT_GE(asked, static_cast<std::size_t>(kFiles + 3));
    EXPECT_LE(asked, static_cast<std::size_t>(5 * kFiles));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    for (int i = 0; i < kFiles; ++i)
        EXPECT_FALSE(probe::FileExists(client / (L"file" + std::to_wstring(i) + L".bin")));
}

// The parts of a large file take the site's connections like files do: four parts at once meet a limit of two,
// and the file comes in the parts it was planned in, every byte once.
TEST(BusySite, ThePartsOfALargeFileMeetTheLimitLikeFilesDo)
{
    constexpr std::size_t kPart = 256 << 10;
    probe::TempDir site;
    std::string body;
    while (body.size() < 4 * kPart)
        body += FileBody(static_cast<int>(body.size() / FileBody(0).size()));
    probe::WriteFileBytes(site / L"big.bin", body);
    // 128 KiB a second: a part takes a second.
    const probe::NginxSite nginx(site.path(), {L"--rate", L"131072", L"--limit-conn", L"2"});
    ASSERT_TRUE(nginx.running()) << nginx.failure();
    probe::TempDir client;
    SiteConnections connections(4, PartSizes{kPart, kPart});
    TransferLimits limits;
    limits.site = &connections;
    WinHttpFetcher fetcher;
    DiskRoom room(FreeSpaceOf(client.path()));
    const vorn::Status fetched =
        DownloadToFile(fetcher, nginx.BaseUrl() + L"big.bin", client / L"big.bin", limits, room, {}, {});
    ASSERT_TRUE(fetched) << fetched.message().c_str();
    EXPECT_TRUE(probe::ReadFileBytes(client / L"big.bin") == body);
    std::size_t refusals = 0;
    std::vector<std::string> ranges;
    const auto part = [](const probe::NginxTransfer& transfer) { return transfer.status == 206; };
    for (const probe::NginxTransfer& transfer : nginx.TransfersOnceLogged(4, part)) {
        refusals += transfer.status == 503;
        if (transfer.status == 206) {
            ranges.push_back(transfer.range);
            EXPECT_EQ(transfer.bytes, kPart) << transfer.range;
        }
    }
    EXPECT_GE(refusals, 1u);
    EXPECT_LE(refusals, 3u);
    std::sort(ranges.begin(), ranges.end());
    EXPECT_EQ(ranges, (std::vector<std::string>{"bytes=0-262143", "bytes=262144-524287", "bytes=524288-786431",
                                                "bytes=786432-1048575"}));
}
