#include "update/file_download.h"
#include "update/http_download.h"
#include "update/http_reply.h"
#include "update/ranged_download.h"

#include "tests/support/http_site.h"
#include "tests/support/process_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <utility>
#include <vector>

namespace {

using Calls = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

struct Outcome {
    bool ok = false;
    std::wstring error;
    Calls progress;
};

Outcome Fetch(const std::wstring& url, const std::wstring& target, DownloadCancelled isCancelled = {})
{
    Outcome outcome;
    const auto record = [&](std::uint64_t received, std::uint64_t total) {
        outcome.progress.emplace_back(received, total);
    };
    const vorn::Status done = DownloadToFile(url, target, record, std::move(isCancelled));
    outcome.ok = done.ok();
    outcome.error = done.message();
    return outcome;
}

std::string Pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
    return bytes;
}

probe::HttpScript Reply(std::string body)
{
    probe::HttpScript script;
    script.body = std::move(body);
    return script;
}

// A port on which nothing listens: bound once to learn a free number, then released.
std::uint16_t ClosedPort()
{
    std::uint16_t port = 0;
    {
        probe::HttpSite site;
        port = site.Port();
    }
    return port;
}

}

TEST(DownloadUrl, EncodesThePathAndJoinsWithOneSlash)
{
    EXPECT_EQ(BuildDownloadUrl(L"http://h/updates", L"Data\\Player\\a b.bmd"),
              L"http://h/updates/Data/Player/a%20b.bmd");
    EXPECT_EQ(BuildDownloadUrl(L"http://h/updates/", L"/x.ini"), L"http://h/updates/x.ini");
    EXPECT_EQ(BuildDownloadUrl(L"http:\\\\h\\u", L"A-z_0.9~/q+r%"), L"http://h/u/A-z_0.9~/q%2Br%25");
    EXPECT_EQ(BuildDownloadUrl(L"http://h/", L"岚谷.txt"), L"http://h/%E5%B2%9A%E8%B0%B7.txt");
    EXPECT_EQ(BuildDownloadUrl(L"http://h/", std::wstring(L"a") + wchar_t(0xD800)), L"http://h/");
    EXPECT_EQ(JoinUrlPath(L"", L"//a/b"), L"a/b");
    EXPECT_EQ(JoinUrlPath(L"http://h//", L"a"), L"http://h//a");
}

TEST(DownloadUrl, MissingSchemeBecomesHttpAndLengthsParseLikeTheStandardConversion)
{
    EXPECT_EQ(NormalizeDownloadUrl(L"  host/a.ini \t"), L"http://host/a.ini");
    EXPECT_EQ(NormalizeDownloadUrl(L""), L"http://");
    EXPECT_EQ(NormalizeDownloadUrl(L"https://h/x"), L"https://h/x");

    EXPECT_EQ(ParseContentLength(L"1234"), 1234u);
    EXPECT_EQ(ParseContentLength(L"12abc"), 12u);
    EXPECT_EQ(ParseContentLength(L"18446744073709551615"), 18446744073709551615ull);
    EXPECT_EQ(ParseContentLength(L"18446744073709551616"), std::nullopt);
    EXPECT_EQ(ParseContentLength(L""), std::nullopt);
    EXPECT_EQ(ParseContentLength(L"abc"), std::nullopt);
}

TEST(DownloadUrl, ARedirectIsReadRelativeToTheAddressItAnsweredAndKeptWithinItsRules)
{
    const std::wstring from = L"http://127.0.0.1:8080/updates/up.ini";
    EXPECT_EQ(RedirectTarget(from, L"https://mirror.example/vorn/up.ini"), L"https://mirror.example/vorn/up.ini");
    EXPECT_EQ(RedirectTarget(from, L"//mirror:81/up.ini"), L"http://mirror:81/up.ini");
    EXPECT_EQ(RedirectTarget(from, L"/other/up.ini"), L"http://127.0.0.1:8080/other/up.ini");
    EXPECT_EQ(RedirectTarget(from, L"next.ini"), L"http://127.0.0.1:8080/updates/next.ini");
    EXPECT_EQ(RedirectTarget(from, L" ../a/./b.ini?x=1#part "), L"http://127.0.0.1:8080/a/b.ini?x=1");
    EXPECT_EQ(RedirectTarget(from, L"?v=2"), L"http://127.0.0.1:8080/updates/up.ini?v=2");
    EXPECT_EQ(RedirectTarget(from, L"../../../x"), L"http://127.0.0.1:8080/x");
    EXPECT_EQ(RedirectTarget(L"http://h", L"a/b/.."), L"http://h/a/");
    EXPECT_EQ(RedirectTarget(from, L"HTTP://Mirror/x/../y"), L"HTTP://Mirror/y");
    for (const wchar_t* bad : {L"", L"  ", L"/a b", L"/a\r\nX-Evil: 1", L"/a\x7f"})
        EXPECT_EQ(RedirectTarget(from, bad), std::nullopt) << bad;

    // What was asked over HTTPS stays there; a loop ends after kMaxRedirects.
    EXPECT_EQ(*NextAfterRedirect(L"https://h/a", L"HTTPS://m/b", 0), L"HTTPS://m/b");
    EXPECT_EQ(*NextAfterRedirect(L"http://h/a", L"https://m/b", kMaxRedirects - 1), L"https://m/b");
    EXPECT_EQ(NextAfterRedirect(L"https://h/a", L"http://m/b", 0).message(),
              L"更新服务器把请求从 HTTPS 转向了 HTTP 地址，已拒绝");
    for (const wchar_t* nowhere : {L"ftp://m/b", L"mailto:x@y", L"/a b"})
        EXPECT_EQ(NextAfterRedirect(L"http://h/a", nowhere, 0).message(), kBadRedirectMessage) << nowhere;
    EXPECT_EQ(NextAfterRedirect(L"http://h/a", L"/a", kMaxRedirects).message(),
              L"更新服务器转向次数过多（超过 10 次），已停止。请确认更新地址是否正确");

    EXPECT_EQ(UnaskedEncoding(L""), std::nullopt);
    EXPECT_EQ(UnaskedEncoding(L" Identity "), std::nullopt);
    EXPECT_EQ(UnaskedEncoding(L"br"), L"服务器以未经请求的编码（br）发送内容，已停止下载。请在更新站点关闭对这些文件的压缩");
    EXPECT_EQ(UnaskedEncoding(L"x\x01\x4E2D"), L"服务器以未经请求的编码（x??）发送内容，已停止下载。请在更新站点关闭对这些文件的压缩");
}

TEST(Download, StreamsTheBodyWithTheAgreedRequestAndReportsEveryChunk)
{
    probe::TempDir site;
    probe::TempDir client;
    const std::string body = Pattern(200000);
    probe::WriteFileBytes(site / L"big file.bin", body);
    probe::HttpSite server(site.path());

    const std::wstring target = client / L"new\\deeper\\big.bin";
    const Outcome outcome = Fetch(server.BaseUrl() + L"big%20file.bin", target);
    ASSERT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(outcome.error, L"");
    EXPECT_EQ(probe::ReadFileBytes(target), body);

    ASSERT_GE(outcome.progress.size(), 2u);
    std::uint64_t previous = 0;
    for (std::size_t i = 0; i + 1 < outcome.progress.size(); ++i) {
        EXPECT_GT(outcome.progress[i].first, previous);
        EXPECT_LE(outcome.progress[i].first - previous, 65536u);
        EXPECT_EQ(outcome.progress[i].second, body.size());
        previous = outcome.progress[i].first;
    }
    EXPECT_EQ(previous, body.size());
    EXPECT_EQ(outcome.progress.back(), Calls::value_type(body.size(), body.size()));

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/big%20file.bin");
    EXPECT_EQ(requests[0].headers.at("user-agent"), "VornLauncher/1.0");
    EXPECT_EQ(requests[0].headers.count("cache-control"), 0u);
    EXPECT_EQ(requests[0].headers.count("pragma"), 0u);

    // A transfer that must bypass caches says so to every cache on the way.
    WinHttpFetcher fetcher;
    DiskRoom room(FreeSpaceOf(client.path()));
    const vorn::Status fetched =
        DownloadToFile(fetcher, server.BaseUrl() + L"big%20file.bin", target, ManifestLimits(), room, {}, {});
    ASSERT_TRUE(fetched) << fetched.message();
    const auto fresh = server.Requests().back();
    EXPECT_EQ(fresh.headers.at("cache-control"), "no-cache");
    EXPECT_EQ(fresh.headers.at("pragma"), "no-cache");

    // An existing target is replaced, and an address without a scheme is fetched over http.
    probe::WriteFileBytes(target, std::string(300000, 'x'));
    const Outcome again = Fetch(L"  127.0.0.1:" + std::to_wstring(server.Port()) + L"/big%20file.bin ", target);
    ASSERT_TRUE(again.ok) << again.error;
    EXPECT_EQ(probe::ReadFileBytes(target), body);
}

TEST(Download, BodiesWithoutLengthSucceedWithWhatArrived)
{
    probe::TempDir client;
    probe::HttpSite server;
    const std::string body = Pattern(150000);
    probe::HttpScript noLength = Reply(body);
    noLength.sendLength = false;
    server.Script("/nolength", noLength);
    probe::HttpScript empty = Reply("");
    empty.status = 204;
    empty.sendLength = false;
    server.Script("/empty", empty);

    const Outcome outcome = Fetch(server.BaseUrl() + L"nolength", client / L"a.bin");
    ASSERT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(probe::ReadFileBytes(client / L"a.bin"), body);
    for (std::size_t i = 0; i + 1 < outcome.progress.size(); ++i)
        EXPECT_EQ(outcome.progress[i].second, 0u);
    EXPECT_EQ(outcome.progress.back(), Calls::value_type(body.size(), body.size()));

    const Outcome emptied = Fetch(server.BaseUrl() + L"empty", client / L"empty.bin");
    ASSERT_TRUE(emptied.ok) << emptied.error;
    EXPECT_TRUE(probe::FileExists(client / L"empty.bin"));
    EXPECT_EQ(probe::ReadFileBytes(client / L"empty.bin"), "");
    EXPECT_EQ(emptied.progress, (Calls{{0, 0}}));
}

TEST(Download, FailuresNameTheirCauseAndLeaveNoFile)
{
    probe::TempDir client;
    probe::HttpSite server;
    probe::HttpScript shortBody = Reply(Pattern(100000));
    shortBody.announcedLength = 150000;
    server.Script("/short", shortBody);
    const std::wstring target = client / L"t.bin";

    probe::WriteFileBytes(target, "an older file");
    Outcome outcome = Fetch(server.BaseUrl() + L"short", target);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, L"文件下载不完整，请重试");
    EXPECT_FALSE(probe::FileExists(target));

    outcome = Fetch(server.BaseUrl() + L"missing.bin", target);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, L"HTTP 状态码：404");
    EXPECT_EQ(server.CountRequests("/missing.bin"), 1u);
    EXPECT_FALSE(probe::FileExists(target));
    EXPECT_TRUE(outcome.progress.empty());

    for (const wchar_t* url : {L"ftp://127.0.0.1/a.bin", L"   ", L"http://:80/x"}) {
        outcome = Fetch(url, target);
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.error, L"下载地址无效") << url;
    }

    outcome = Fetch(L"http://127.0.0.1:" + std::to_wstring(ClosedPort()) + L"/a.bin", target);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, L"HTTP 请求失败，错误码：12029");

    probe::WriteFileBytes(client / L"plain", "a file where a folder should be");
    server.Script("/ok", Reply("ok"));
    outcome = Fetch(server.BaseUrl() + L"ok", client / L"plain\\t.bin");
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, L"无法创建目标目录");
    EXPECT_FALSE(probe::FileExists(target));
}

TEST(Download, ARedirectIsFollowedForItsOwnRequestAndALoopEndsAfterTenHops)
{
    probe::TempDir client;
    probe::HttpSite server;
    const std::string body = Pattern(70000);
    server.Script("/x.bin", Reply(body));
    probe::HttpScript moved;
    moved.status = 302;
    moved.headers = {"Location: files/../x.bin"};
    server.Script("/moved", moved);
    probe::HttpScript loop = moved;
    loop.headers = {"Location: /loop"};
    server.Script("/loop", loop);
    const std::wstring target = client / L"t.bin";

    Outcome outcome = Fetch(server.BaseUrl() + L"moved", target);
    ASSERT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(probe::ReadFileBytes(target), body);
    EXPECT_EQ(server.CountRequests("/x.bin"), 1u);

    outcome = Fetch(server.BaseUrl() + L"loop", client / L"loop.bin");
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, L"更新服务器转向次数过多（超过 10 次），已停止。请确认更新地址是否正确");
    EXPECT_EQ(server.CountRequests("/loop"), 11u);
    EXPECT_FALSE(probe::FileExists(client / L"loop.bin"));
}

TEST(Download, AFullDiskNamesTheSpaceAFileNeeds)
{
    probe::TempDir client;
    const std::wstring full = client / L"full.bin";
    // The staged file is a link to the device that answers every write with "no space left", as a full disk does.
    // A Linux program started from Wine has no process handle to wait on: the link shows when it is made (as a
    // device it has no file attributes, but it opens).
    ASSERT_TRUE(probe::StartLinuxProgram(L"/bin/ln", L"-s /dev/full \"" + probe::UnixPathOf(full) + L"\""));
    const auto linked = [&] {
        const UniqueFile file(CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        return static_cast<bool>(file);
    };
    for (const ULONGLONG end = GetTickCount64() + 10000; !linked() && GetTickCount64() < end;)
        Sleep(50);
    ASSERT_TRUE(linked());
    probe::HttpSite server;
    server.Script("/a.bin", Reply(Pattern(20000)));
    const Outcome outcome = Fetch(server.BaseUrl() + L"a.bin", full);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, DiskSpaceMessage(20000));
}

TEST(DiskRoom, DownloadsTakeTheFreeSpaceDownToTheReserveAskingTheSystemRarely)
{
    // A disk of 1000 bytes free with a reserve of 100; every byte taken is written, as the file sink does.
    std::uint64_t free = 1000;
    int looks = 0;
    DiskRoom room([&]() -> std::optional<std::uint64_t> { ++looks; return free; }, 100);
    const auto write = [&](std::uint64_t bytes) {
        if (!room.Take(bytes))
            return false;
        free -= bytes;
        return true;
    };
    EXPECT_TRUE(room.Fits(900));
    EXPECT_FALSE(room.Fits(901));  // a length that would eat into the reserve, even after a fresh look
    EXPECT_EQ(looks, 2);
    EXPECT_TRUE(write(500));
    EXPECT_TRUE(write(400));
    EXPECT_EQ(looks, 2);
    EXPECT_FALSE(write(1));
    free += 300;  // another program deleted a file
    EXPECT_TRUE(write(300));
    EXPECT_EQ(free, 100u);
    EXPECT_EQ(looks, 4);

    // Other programs write too: the system is asked again after every 64 MiB taken.
    std::uint64_t disk = 10ull << 30;
    DiskRoom busy([&]() -> std::optional<std::uint64_t> { return disk; });
    EXPECT_EQ(busy.Reserve(), kFreeSpaceReserve);
    ASSERT_TRUE(busy.Take(64u << 20));
    disk = kFreeSpaceReserve + (1u << 20);
    EXPECT_FALSE(busy.Take(2u << 20));

    DiskRoom unknown([]() -> std::optional<std::uint64_t> { return std::nullopt; });
    EXPECT_TRUE(unknown.Take(~std::uint64_t{0}));

    EXPECT_EQ(DiskReserveMessage(300u << 20, kFreeSpaceReserve),
              L"磁盘空间不足：此文件需要 314572800 字节（约 300 MiB）的可用空间，另须为系统留出 256 MiB。请清理磁盘后重试。");
    EXPECT_EQ(DiskReserveMessage(std::nullopt, kFreeSpaceReserve),
              L"磁盘空间不足：下载已用完可用空间，只剩须为系统留出的 256 MiB。请清理磁盘后重试。");
}

TEST(Download, CancellationStopsBeforeTheNextReadAndRemovesThePartialFile)
{
    probe::TempDir client;
    probe::HttpSite server;
    probe::HttpScript slow = Reply(Pattern(1 << 20));
    slow.chunkBytes = 16384;
    slow.pauseBetweenChunksMs = 100;
    server.Script("/slow", slow);
    const std::wstring target = client / L"slow.bin";

    std::size_t asked = 0;
    Outcome outcome;
    const vorn::Status done = DownloadToFile(
        server.BaseUrl() + L"slow", target,
        [&](std::uint64_t received, std::uint64_t total) { outcome.progress.emplace_back(received, total); }, [&] {
            ++asked;
            return !outcome.progress.empty();
        });
    outcome.ok = done.ok();
    outcome.error = done.message();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, L"更新操作已取消。");
    EXPECT_EQ(outcome.progress.size(), 1u);
    EXPECT_LT(outcome.progress[0].first, std::uint64_t{1} << 20);
    EXPECT_GE(asked, 3u);  // before the request, before the first read, before the second, and while it waits
    EXPECT_FALSE(probe::FileExists(target));

    outcome = Fetch(server.BaseUrl() + L"slow", target, [] { return true; });
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, L"更新操作已取消。");
    EXPECT_EQ(server.CountRequests("/slow"), 1u);
    EXPECT_FALSE(probe::FileExists(target));
}

TEST(TransferRetry, ARangeReplyContinuesTheHeldBytesOnlyFromTheirEndToTheSameEnd)
{
    const auto parsed = ParseContentRange(L"bytes 100-199/200");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->first, 100u);
    EXPECT_EQ(parsed->last, 199u);
    EXPECT_EQ(parsed->total, 200u);
    EXPECT_TRUE(ParseContentRange(L" bytes 0-0/1 "));
    for (const wchar_t* bad : {L"bytes */200", L"bytes 100-99/200", L"bytes 0-200/200", L"items 0-1/2", L"bytes 0-1/",
                               L"bytes 0-1/99999999999999999999999", L"bytes 1-2/3 x", L"bytes -1-2/3", L""})
        EXPECT_FALSE(ParseContentRange(bad)) << bad;

    const ResumePoint held{100, 200, L"\"v\"", std::nullopt};
    EXPECT_EQ(ReplyOffset(200, held, std::nullopt), 0u);
    EXPECT_EQ(ReplyOffset(206, held, ContentRange{100, 199, 200}), 100u);
    EXPECT_EQ(ReplyOffset(206, std::nullopt, std::nullopt), 0u);
    for (const auto& other : {ContentRange{0, 199, 200}, ContentRange{100, 149, 200}, ContentRange{100, 299, 300}})
        EXPECT_EQ(ReplyOffset(206, held, other), std::nullopt) << other.first << "-" << other.last;
    EXPECT_EQ(ReplyOffset(206, held, std::nullopt), std::nullopt);

    const std::wstring modified = L"Tue, 08 Dec 2026 10:00:00 GMT";
    EXPECT_EQ(RangeValidator(L"\"abc\"", modified), L"\"abc\"");
    EXPECT_EQ(RangeValidator(L"W/\"abc\"", modified), modified);
    EXPECT_EQ(RangeValidator(L"", L""), L"");
    EXPECT_EQ(RangeValidator(L"\"a\r\nX-Evil: 1\"", L""), L"");
}

namespace {

// Answers each fetch with its next step: a reply at an offset, some bytes, then an outcome. Keeps the resume
// point each fetch was offered.
class StepFetcher final : public Fetcher {
public:
    struct Step {
        FetchOutcome outcome = FetchOutcome::kDone;
        std::uint64_t offset = 0;
        std::string bytes;
    };
    std::uint64_t total = 0;
    std::vector<Step> steps;
    std::vector<std::optional<ResumePoint>> offered;

    FetchResult Fetch(const std::wstring&, FetchSink& sink, const TransferLimits&, const DownloadProgress&,
                      const DownloadCancelled&) override
    {
        offered.push_back(sink.Resume());
        const Step& step = steps.at(offered.size() - 1);
        if (const vorn::Status opened = sink.Open(FetchReply{total, step.offset, L"\"v1\""}); !opened)
            return {FetchOutcome::kStorage, opened.message()};
        if (const vorn::Status written = sink.Write(step.bytes.data(), step.bytes.size()); !written)
            return {FetchOutcome::kStorage, written.message()};
        return {step.outcome, L"step " + std::to_wstring(offered.size())};
    }
};

}

TEST(TransferRetry, OnlyPassingFailuresAreTriedAgainAndACutBodyIsContinued)
{
    probe::TempDir client;
    const std::wstring target = client / L"f.bin";
    DiskRoom room(FreeSpaceOf(client.path()));
    StepFetcher cut;
    cut.total = 10;
    cut.steps = {{FetchOutcome::kDropped, 0, "01234"}, {FetchOutcome::kDone, 5, "56789"}};
    const vorn::Status resumed = DownloadToFile(cut, L"http://memory/f.bin", target, {}, room, {}, {});
    ASSERT_TRUE(resumed) << resumed.message();
    EXPECT_EQ(probe::ReadFileBytes(target), "0123456789");
    ASSERT_EQ(cut.offered.size(), 2u);
    EXPECT_FALSE(cut.offered[0]);
    ASSERT_TRUE(cut.offered[1]);
    EXPECT_EQ(cut.offered[1]->offset, 5u);
    EXPECT_EQ(cut.offered[1]->total, 10u);
    EXPECT_EQ(cut.offered[1]->validator, L"\"v1\"");

    for (const FetchOutcome final : {FetchOutcome::kStatus, FetchOutcome::kCancelled, FetchOutcome::kRefused,
                                     FetchOutcome::kTooSlow, FetchOutcome::kStalled, FetchOutcome::kByteCap,
                                     FetchOutcome::kUnaskedEncoding, FetchOutcome::kStorage}) {
        StepFetcher once;
        once.total = 10;
        once.steps = {{final, 0, "01234"}, {FetchOutcome::kDone, 5, "56789"}};
        EXPECT_EQ(DownloadToFile(once, L"http://memory/f.bin", target, {}, room, {}, {}).message(), L"step 1");
        EXPECT_EQ(once.offered.size(), 1u) << static_cast<int>(final);
        EXPECT_FALSE(probe::FileExists(target));
    }
}

TEST(TransferPace, DripsAreTooSlowAndStallsEndATransferSteadyOnesGoOn)
{
    using namespace std::chrono_literals;
    using Verdict = TransferPace::Verdict;
    const TransferClock::time_point start{};

    // One byte every 20 s never trips the stall limit, but after a minute the average is far too low.
    TransferPace drip(TransferLimits{}, start);
    for (int second = 1; second < 60; ++second) {
        if (second % 20 == 0)
            drip.Progress(second / 20, start + std::chrono::seconds(second));
        EXPECT_EQ(drip.Check(start + std::chrono::seconds(second)), Verdict::kGoOn) << second;
    }
    EXPECT_EQ(drip.Check(start + 60s), Verdict::kTooSlow);
    EXPECT_EQ(drip.Message(Verdict::kTooSlow), L"服务器速度太慢：最近 60 秒平均每秒不到 1 KiB。请稍后重试。");

    // 2 KiB a second for ten minutes is slow but fine; then 30 s of silence is a stall.
    TransferPace steady(TransferLimits{}, start);
    for (int second = 1; second <= 600; ++second) {
        steady.Progress(std::uint64_t(second) * 2048, start + std::chrono::seconds(second));
        ASSERT_EQ(steady.Check(start + std::chrono::seconds(second)), Verdict::kGoOn) << second;
    }
    EXPECT_EQ(steady.Check(start + 625s), Verdict::kGoOn);
    EXPECT_EQ(steady.Check(start + 630s), Verdict::kStalled);

    // A fast burst long ago does not cover a window that brought almost nothing.
    TransferPace burst(TransferLimits{}, start);
    burst.Progress(100 << 20, start + 1s);
    for (int second = 2; second <= 130; ++second) {
        if (second % 25 == 0)
            burst.Progress((100 << 20) + second, start + std::chrono::seconds(second));
        if (burst.Check(start + std::chrono::seconds(second)) != Verdict::kGoOn) {
            EXPECT_GE(second, 61);
            EXPECT_LE(second, 64);
            break;
        }
        ASSERT_LT(second, 130);
    }
}

TEST(DownloadInParts, PartsStayBelowTwoGibibytesAndCoverTheBodyExactly)
{
    constexpr std::uint64_t kLarge = 4831838208;  // 4.5 GiB
    constexpr std::uint64_t kMiB = 1 << 20;
    const PartSizes sizes;
    for (const std::uint32_t workers : {1u, 2u, 8u, 16u}) {
        const std::vector<ByteSpan> parts = PlanParts(kLarge, workers, sizes);
        EXPECT_EQ(parts.size(), std::max<std::size_t>(workers, 5)) << workers;
        std::uint64_t at = 0;
        for (const ByteSpan& part : parts) {
            EXPECT_EQ(part.first, at);
            EXPECT_LE(part.end - part.first, sizes.largest);
            at = part.end;
        }
        EXPECT_EQ(at, kLarge);
    }
    EXPECT_EQ(PlanParts(40 * kMiB, 8, sizes), (std::vector<ByteSpan>{{0, 20 * kMiB}, {20 * kMiB, 40 * kMiB}}));
    EXPECT_TRUE(FetchesInParts(32 * kMiB, 8, sizes));
    EXPECT_FALSE(FetchesInParts(32 * kMiB - 1, 8, sizes));
    EXPECT_FALSE(FetchesInParts(32 * kMiB, 1, sizes));
    EXPECT_FALSE(FetchesInParts(1024 * kMiB, 1, sizes));
    EXPECT_TRUE(FetchesInParts(1024 * kMiB + 1, 1, sizes));

    for (const wchar_t* ranges : {L"bytes", L" Bytes ", L"none, bytes"})
        EXPECT_TRUE(AcceptsByteRanges(ranges)) << ranges;
    for (const wchar_t* ranges : {L"", L"none", L"bytesx", L"x bytes", L","})
        EXPECT_FALSE(AcceptsByteRanges(ranges)) << ranges;
    // A part asks up to its own end, past 4 GiB in a body of 4.5 GiB.
    const ResumePoint part{4294967396, kLarge, L"\"v\"", 4294967496};
    EXPECT_EQ(ReplyOffset(206, part, ContentRange{4294967396, 4294967495, kLarge}), 4294967396u);
    EXPECT_EQ(ReplyOffset(206, part, ContentRange{4294967396, kLarge - 1, kLarge}), std::nullopt);

    // Held from its first byte, a part asks for the rest of its range on every try, also after a reply that did
    // not continue it, and takes only a reply that does.
    HeldBody held(part.offset, *part.end, kLarge, part.validator);
    EXPECT_EQ(held.Resume()->offset, part.offset);
    held.Add(40);
    held.Forget();
    const std::optional<ResumePoint> rest = held.Resume();
    ASSERT_TRUE(rest);
    EXPECT_EQ(rest->offset, part.offset + 40);
    EXPECT_EQ(rest->total, kLarge);
    EXPECT_EQ(rest->end, part.end);
    EXPECT_EQ(rest->validator, part.validator);
    EXPECT_FALSE(held.Open(FetchReply{kLarge, 0, L"\"w\"", true}));
    EXPECT_FALSE(held.Open(FetchReply{kLarge, part.offset + 40, part.validator, true}));
    EXPECT_TRUE(held.Open(FetchReply{part.end, part.offset + 40, part.validator, true}));
}

namespace {

// Three parts of 200 KiB for three transfers at once.
constexpr PartSizes kSmallParts{64 << 10, 256 << 10};
constexpr std::size_t kPartedBytes = 600 << 10;

struct PartedRun {
    bool ok = false;
    std::wstring error;
    Calls progress;
    std::vector<std::string> ranges;  // of the requests for the file, in order; "" without one
    std::vector<std::string> validators;  // If-Range of the requests that had a range
};

// big.bin of server in parts (or `url` instead), within the room of the target's disk unless another is given;
// the ranges and validators are those server saw.
PartedRun FetchParted(probe::HttpSite& server, const std::wstring& target, DiskRoom* room = nullptr,
                      const std::wstring& url = {})
{
    SiteConnections connections(3, kSmallParts);
    TransferLimits limits;
    limits.site = &connections;
    WinHttpFetcher fetcher;
    PartedRun run;
    const auto record = [&](std::uint64_t received, std::uint64_t total) { run.progress.emplace_back(received, total); };
    DiskRoom disk(FreeSpaceOf(std::filesystem::path(target).parent_path().wstring()));
    const vorn::Status done = DownloadToFile(fetcher, url.empty() ? server.BaseUrl() + L"big.bin" : url, target,
                                             limits, room ? *room : disk, record, {});
    run.ok = done.ok();
    run.error = done.message();
    for (const probe::HttpRequestRecord& request : server.Requests()) {
        const auto range = request.headers.find("range");
        run.ranges.push_back(range == request.headers.end() ? "" : range->second);
        if (range != request.headers.end())
            run.validators.push_back(request.headers.at("if-range"));
    }
    return run;
}

// A site folder that holds big.bin of kPartedBytes, and a client folder to download it into.
struct PartedSite {
    probe::TempDir site;
    probe::TempDir client;
    const std::string body = Pattern(kPartedBytes);
    PartedSite() { probe::WriteFileBytes(site / L"big.bin", body); }
};

// The ranges a run asked for, in order.
std::vector<std::string> SortedParts(const PartedRun& run)
{
    std::vector<std::string> parts;
    for (const std::string& range : run.ranges) {
        if (!range.empty())
            parts.push_back(range);
    }
    std::sort(parts.begin(), parts.end());
    return parts;
}

}

TEST(DownloadInParts, ALargeBodyComesInRangesAtOnceAndACutPartContinuesFromWhereItStopped)
{
    const PartedSite files;
    probe::HttpSite server(files.site.path());
    server.CutFirstAnswer("/big.bin", 50000, "bytes=204800-409599");

    const PartedRun run = FetchParted(server, files.client / L"big.bin");
    ASSERT_TRUE(run.ok) << run.error;
    EXPECT_TRUE(probe::ReadFileBytes(files.client / L"big.bin") == files.body);
    // The first answer says how large the body is; the parts follow, one of them twice.
    ASSERT_EQ(run.ranges.size(), 5u);
    EXPECT_EQ(run.ranges[0], "");
    EXPECT_EQ(SortedParts(run), (std::vector<std::string>{"bytes=0-204799", "bytes=204800-409599",
                                                          "bytes=254800-409599", "bytes=409600-614399"}));
    for (const std::string& validator : run.validators) {
        EXPECT_EQ(validator, run.validators[0]);
        EXPECT_TRUE(validator.starts_with("\"")) << validator;
    }
    ASSERT_FALSE(run.progress.empty());
    for (std::size_t i = 0; i < run.progress.size(); ++i) {
        EXPECT_EQ(run.progress[i].second, files.body.size());
        EXPECT_GE(run.progress[i].first, i > 0 ? run.progress[i - 1].first : 0);
    }
    EXPECT_EQ(run.progress.back(), Calls::value_type(files.body.size(), files.body.size()));
}

TEST(DownloadInParts, ASiteWithoutRangesOrWithAValidatorForEachAnswerGetsTheWholeBodyInOneRequest)
{
    for (const probe::HttpFileServing serving : {probe::HttpFileServing{false, false},
                                                 probe::HttpFileServing{true, true}}) {
        SCOPED_TRACE(serving.ranges ? "a new validator with every answer" : "no ranges");
        const PartedSite files;
        probe::HttpSite server(files.site.path());
        server.ServeFiles(serving);

        const PartedRun run = FetchParted(server, files.client / L"big.bin");
        ASSERT_TRUE(run.ok) << run.error;
        EXPECT_TRUE(probe::ReadFileBytes(files.client / L"big.bin") == files.body);
        EXPECT_EQ(run.ranges.front(), "");
        EXPECT_EQ(run.ranges.back(), "");
        EXPECT_EQ(run.ranges.size() == 1, !serving.ranges);
        EXPECT_EQ(run.progress.back(), Calls::value_type(files.body.size(), files.body.size()));
    }
}

TEST(DownloadInParts, EachPartAsksTheUpdateAddressAndFollowsItsRedirectToTheMirrorOnItsOwn)
{
    const PartedSite files;
    probe::HttpSite mirror(files.site.path());
    probe::HttpSite origin;
    probe::HttpScript moved;
    moved.status = 302;
    moved.headers = {"Location: http://127.0.0.1:" + std::to_string(mirror.Port()) + "/big.bin"};
    origin.Script("/big.bin", moved);

    const PartedRun run = FetchParted(mirror, files.client / L"big.bin", nullptr, origin.BaseUrl() + L"big.bin");
    ASSERT_TRUE(run.ok) << run.error;
    EXPECT_TRUE(probe::ReadFileBytes(files.client / L"big.bin") == files.body);
    // The first request and each of the three parts went to the update address before the mirror.
    EXPECT_EQ(origin.CountRequests("/big.bin"), 4u);
    ASSERT_EQ(run.ranges.size(), 4u);
    EXPECT_EQ(run.ranges[0], "");
    EXPECT_EQ(SortedParts(run),
              (std::vector<std::string>{"bytes=0-204799", "bytes=204800-409599", "bytes=409600-614399"}));
    for (const std::string& validator : run.validators)
        EXPECT_EQ(validator, run.validators[0]);
}

TEST(DownloadInParts, TheWholeLengthMustFitAndThePartsTakeTheirBytesFromTheRoomTheUpdateShares)
{
    const PartedSite files;
    probe::WriteFileBytes(files.site / L"second.bin", files.body);
    probe::HttpSite server(files.site.path());
    // A disk with room above the reserve for one and a half of these files, as the system would report it.
    const auto written = [&] {
        std::error_code missing;
        const std::uintmax_t size = std::filesystem::file_size(files.client / L"big.bin", missing);
        return missing ? 0 : static_cast<std::uint64_t>(size);
    };
    DiskRoom room(
        [&]() -> std::optional<std::uint64_t> { return kFreeSpaceReserve + kPartedBytes * 3 / 2 - written(); });

    const PartedRun first = FetchParted(server, files.client / L"big.bin", &room);
    ASSERT_TRUE(first.ok) << first.error;
    EXPECT_EQ(SortedParts(first).size(), 3u);
    // The parts took their bytes from the room: the second file does not fit what is left, and is refused at
    // once for its whole length, before any part is asked.
    const PartedRun second =
        FetchParted(server, files.client / L"second.bin", &room, server.BaseUrl() + L"second.bin");
    EXPECT_FALSE(second.ok);
    EXPECT_EQ(second.error, DiskReserveMessage(kPartedBytes, kFreeSpaceReserve));
    EXPECT_EQ(server.CountRequests("/second.bin"), 1u);
    EXPECT_FALSE(probe::FileExists(files.client / L"second.bin"));
}
