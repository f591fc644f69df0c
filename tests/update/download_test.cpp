#include "update/http_download.h"

#include "tests/support/http_site.h"
#include "tests/support/process_probe.h"

#include <gtest/gtest.h>

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
    outcome.error = L"left over from an earlier call";
    const auto record = [&](std::uint64_t received, std::uint64_t total) {
        outcome.progress.emplace_back(received, total);
    };
    outcome.ok = DownloadToFile(url, target, record, outcome.error, std::move(isCancelled));
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
    std::wstring error;
    ASSERT_TRUE(DownloadToFile(fetcher, server.BaseUrl() + L"big%20file.bin", target, ManifestLimits(), {}, error,
                               {}))
        << error;
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
    outcome.ok = DownloadToFile(
        server.BaseUrl() + L"slow", target,
        [&](std::uint64_t received, std::uint64_t total) { outcome.progress.emplace_back(received, total); },
        outcome.error, [&] {
            ++asked;
            return !outcome.progress.empty();
        });
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

    const ResumePoint held{100, 200, L"\"v\""};
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

    FetchOutcome Fetch(const std::wstring&, FetchSink& sink, const TransferLimits&, const DownloadProgress&,
                       const DownloadCancelled&, std::wstring& error) override
    {
        offered.push_back(sink.Resume());
        const Step& step = steps.at(offered.size() - 1);
        if (!sink.Open(FetchReply{total, step.offset, L"\"v1\""}, error) ||
            !sink.Write(step.bytes.data(), step.bytes.size(), error))
            return FetchOutcome::kStorage;
        error = L"step " + std::to_wstring(offered.size());
        return step.outcome;
    }
};

}

TEST(TransferRetry, OnlyPassingFailuresAreTriedAgainAndACutBodyIsContinued)
{
    probe::TempDir client;
    const std::wstring target = client / L"f.bin";
    std::wstring error;

    StepFetcher cut;
    cut.total = 10;
    cut.steps = {{FetchOutcome::kDropped, 0, "01234"}, {FetchOutcome::kDone, 5, "56789"}};
    ASSERT_TRUE(DownloadToFile(cut, L"http://memory/f.bin", target, {}, {}, error, {})) << error;
    EXPECT_EQ(probe::ReadFileBytes(target), "0123456789");
    ASSERT_EQ(cut.offered.size(), 2u);
    EXPECT_FALSE(cut.offered[0]);
    ASSERT_TRUE(cut.offered[1]);
    EXPECT_EQ(cut.offered[1]->offset, 5u);
    EXPECT_EQ(cut.offered[1]->total, 10u);
    EXPECT_EQ(cut.offered[1]->validator, L"\"v1\"");

    for (const FetchOutcome final : {FetchOutcome::kStatus, FetchOutcome::kCancelled, FetchOutcome::kRefused,
                                     FetchOutcome::kTooSlow, FetchOutcome::kStalled, FetchOutcome::kPastDeadline,
                                     FetchOutcome::kByteCap}) {
        StepFetcher once;
        once.total = 10;
        once.steps = {{final, 0, "01234"}, {FetchOutcome::kDone, 5, "56789"}};
        EXPECT_FALSE(DownloadToFile(once, L"http://memory/f.bin", target, {}, {}, error, {}));
        EXPECT_EQ(error, L"step 1");
        EXPECT_EQ(once.offered.size(), 1u) << static_cast<int>(final);
        EXPECT_FALSE(probe::FileExists(target));
    }
}

TEST(TransferPace, DripsAreTooSlowStallsAndDeadlinesEndATransferSteadyOnesGoOn)
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

    const TransferLimits manifest = ManifestLimits();
    TransferPace deadline(manifest, start);
    deadline.Progress(1 << 20, start + 59s);
    EXPECT_EQ(deadline.Check(start + 59s), Verdict::kGoOn);
    EXPECT_EQ(deadline.Check(start + 60s), Verdict::kPastDeadline);
    EXPECT_EQ(*manifest.byteCap, 16u << 20);
}
