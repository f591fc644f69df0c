#include "update/update_transaction.h"

#include <winsock2.h>

#include "tests/support/http_site.h"
#include "tests/support/nginx_site.h"
#include "tests/support/process_probe.h"
#include "tests/update/block_index_maker.h"
#include "tests/update/update_run.h"
#include "update/cng.h"
#include "update/crc32.h"
#include "update/crc32_compute.h"
#include "update/kept_download.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kBlock = 8192;
const std::string kTarget = "/big.bin";

std::string Hex(const Sha256Digest& digest)
{
    std::string text;
    for (const std::uint8_t byte : digest) {
        char two[3] = {};
        std::snprintf(two, sizeof(two), "%02x", byte);
        text += two;
    }
    return text;
}

std::string IndexOf(const std::string& body)
{
    blocktest::IndexWriter writer(kBlock);
    writer.Add(body.data(), body.size());
    return writer.Finish();
}

// A site with big.bin (`body`) listed in up.ini with its CRC-32 and the block index `index` (published when
// `publishIndex`), and the launcher's own entry.
void PublishSite(const probe::TempDir& site, const std::string& body, const std::string& index, bool publishIndex)
{
    probe::WriteFileBytes(site / L"big.bin", body);
    const vorn::Result<Sha256Digest> digest = Sha256Of(index);
    ASSERT_TRUE(digest.ok());
    const std::string indexPath = "up.ini.blocks/" + Hex(*digest);
    if (publishIndex) {
        CreateDirectoryW((site / L"up.ini.blocks").c_str(), nullptr);
        probe::WriteFileBytes(site / std::wstring(indexPath.begin(), indexPath.end()), index);
    }
    const std::wstring crc = FormatCrc32(Crc32(0, body.data(), body.size()));
    probe::WriteFileBytes(site / L"up.ini",
                          "[Set]\r\nCount=1\r\n[up]\r\nFile1=big.bin\r\nCFile1=big.bin\r\nXYZ1=" +
                              std::string(crc.begin(), crc.end()) + "\r\n[Blocks]\r\nIndex1=" +
                              std::to_string(index.size()) + " " + Hex(*digest) + " " + indexPath + "\r\n");
}

// Where the i-th of `changes` regions of 64 KiB of a file of `size` bytes lies: in the middle of its share.
std::size_t ChangedAt(std::size_t size, std::size_t changes, std::size_t i)
{
    return size / changes * i + size / changes / 2 + 4321;
}

// The new file: `old` with `changes` regions of 64 KiB rewritten, spread evenly.
std::string Changed(std::string old, std::size_t changes)
{
    for (std::size_t i = 0; i < changes; ++i) {
        const std::size_t at = ChangedAt(old.size(), changes, i);
        old.replace(at, 65536, blocktest::RandomBytes(65536, 100 + static_cast<std::uint32_t>(i)));
    }
    return old;
}

std::vector<std::string> RangesAsked(const probe::HttpSite& site)
{
    std::vector<std::string> ranges;
    for (const probe::HttpRequestRecord& request : site.Requests()) {
        if (request.target == kTarget)
            ranges.push_back(request.headers.count("range") ? request.headers.at("range") : "none");
    }
    return ranges;
}

}

// 80 MiB: the build goes past two flushes on the way, where a writer ahead of the disk waits for the flusher.
TEST(BlockReuse, NginxSendsOnlyTheChangedBlocksInRequestsOfSeveralRanges)
{
    const std::string old = blocktest::RandomBytes(80u << 20, 7);
    const std::string body = Changed(old, 16);
    probe::TempDir site;
    PublishSite(site, body, IndexOf(body), true);
    probe::TempDir client;
    probe::WriteFileBytes(client / L"big.bin", old);
    probe::NginxSite nginx(site.path(), {});
    ASSERT_TRUE(nginx.running()) << nginx.failure();

    const auto run = std::make_shared<UpdateRun>();
    const auto partway = std::make_shared<bool>(false);
    run->whenReported = [partway](const vorn::UpdateProgress& p) {
        *partway = *partway ||
                   (p.stage == vorn::UpdateStage::kDownloading && p.filePercent > 0 && p.filePercent < 100);
    };
    ASSERT_TRUE(ApplyWithin(run, 30000, nginx.BaseUrl(), client.path(), client / L"Launcher.exe"))
        << "the update did not end within 30 s";
    ASSERT_TRUE(run->result.succeeded) << run->result.message.c_str();
    EXPECT_TRUE(probe::ReadFileBytes(client / L"big.bin") == body);
    EXPECT_TRUE(*partway);
    std::uint64_t fileBytes = 0;
    std::size_t requests = 0;
    const auto file = [](const probe::NginxTransfer& transfer) { return transfer.target == kTarget; };
    for (const probe::NginxTransfer& transfer : nginx.TransfersOnceLogged(1, file)) {
        if (transfer.target != kTarget)
            continue;
        ++requests;
        fileBytes += transfer.bytes;
        EXPECT_EQ(transfer.status, 206) << transfer.range;
    }
    // 16 changed regions of 64 KiB touch 17 blocks each, plus the multipart frames.
    EXPECT_EQ(requests, 1u);
    EXPECT_GE(fileBytes, 16u * 65536u);
    EXPECT_LE(fileBytes, 16u * 17u * kBlock + 16u * 200u);
}

TEST(BlockReuse, EveryFallbackEndsInTheNewFileFetchedWholeAtMostOnce)
{
    const std::string old = blocktest::RandomBytes(2u << 20, 9);
    const std::string body = Changed(old, 1);
    const std::string index = IndexOf(body);
    // An index that lies: the old file's blocks under the new file's CRC-32, so the built file is the old one.
    std::string lying = IndexOf(old);
    lying.replace(20, 4, index.substr(20, 4));
    struct Case {
        const char* name;
        std::string index;
        bool publishIndex = true;
        bool oldCopy = true;
        bool cut = false;
        std::vector<std::string> asked;  // the Range of each request for the file
        std::uint64_t sent;              // bytes of the file's body the site sends in all
    };
    const std::uint64_t size = body.size();
    // The changed region touches 9 blocks, which one range asks for; the site cuts its answer at half.
    const std::uint64_t first = ChangedAt(body.size(), 1, 0) / kBlock * kBlock;
    const std::uint64_t changedBytes = 9 * kBlock;
    const std::string changed = "bytes=" + std::to_string(first) + "-" + std::to_string(first + changedBytes - 1);
    for (const Case& c : {Case{"no old copy", index, true, false, false, {"none"}, size},
                          Case{"no index", index, false, true, false, {"none"}, size},
                          Case{"an index that lies", lying, true, true, false, {"none"}, size},
                          Case{"a range cut part way", index, true, true, true,
                               {changed, "bytes=" + std::to_string(first + changedBytes / 2) + "-" +
                                             std::to_string(first + changedBytes - 1)},
                               changedBytes}}) {
        SCOPED_TRACE(c.name);
        probe::TempDir site;
        PublishSite(site, body, c.index, c.publishIndex);
        probe::TempDir client;
        if (c.oldCopy)
            probe::WriteFileBytes(client / L"big.bin", old);
        probe::HttpSite server(site.path());
        if (c.cut)
            server.CutFirstAnswer(kTarget, changedBytes / 2);

        UpdateRun run;
        run.Apply(server, client.path(), client / L"Launcher.exe");
        ASSERT_TRUE(run.result.succeeded) << run.result.message.c_str();
        EXPECT_TRUE(probe::ReadFileBytes(client / L"big.bin") == body);
        EXPECT_EQ(RangesAsked(server), c.asked);
        EXPECT_EQ(server.BodyBytesSent(kTarget), c.sent);
    }
}

TEST(BlockReuse, ASiteThatAnswersSeveralRangesWithTheWholeFileGetsOneRequestForIt)
{
    const std::string old = blocktest::RandomBytes(2u << 20, 11);
    const std::string body = Changed(old, 4);
    probe::TempDir site;
    PublishSite(site, body, IndexOf(body), true);
    probe::TempDir client;
    probe::WriteFileBytes(client / L"big.bin", old);
    probe::HttpSite server(site.path());

    UpdateRun run;
    run.Apply(server, client.path(), client / L"Launcher.exe");
    ASSERT_TRUE(run.result.succeeded) << run.result.message.c_str();
    EXPECT_TRUE(probe::ReadFileBytes(client / L"big.bin") == body);
    const std::vector<std::string> asked = RangesAsked(server);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(std::count(asked[0].begin(), asked[0].end(), ','), 3) << asked[0];
    EXPECT_EQ(asked[1], "none");
}

TEST(KeptDownload, ACutDownloadContinuesAtTheNextAttemptUnlessTheFileChangedMeanwhile)
{
    const std::string first = blocktest::RandomBytes(4u << 20, 13);
    const std::string changed = blocktest::RandomBytes(4u << 20, 14);
    const std::uint64_t cut = first.size() * 27 / 100;
    for (const bool changes : {false, true}) {
        SCOPED_TRACE(changes ? "the file changed" : "the same file");
        probe::TempDir site;
        PublishSite(site, first, IndexOf(first), false);
        probe::TempDir client;
        probe::HttpSite server(site.path());
        server.CutFirstAnswer(kTarget, cut);

        // The player closes the launcher while it waits to try the cut download again.
        UpdateRun closed;
        closed.cancelWhen = [&](const UpdateRun&) { return server.BodyBytesSent(kTarget) >= cut; };
        closed.Apply(server, client.path(), client / L"Launcher.exe");
        ASSERT_FALSE(closed.result.succeeded);

        const std::string body = changes ? changed : first;
        if (changes) {
            Sleep(20);
            PublishSite(site, changed, IndexOf(changed), false);
        }
        UpdateRun again;
        again.Apply(server, client.path(), client / L"Launcher.exe");
        ASSERT_TRUE(again.result.succeeded) << again.result.message.c_str();
        EXPECT_TRUE(probe::ReadFileBytes(client / L"big.bin") == body);
        const std::vector<std::string> asked = RangesAsked(server);
        ASSERT_EQ(asked.size(), 2u);
        EXPECT_EQ(asked[0], "none");
        ASSERT_TRUE(asked[1].starts_with("bytes=")) << asked[1];
        const std::uint64_t held = std::stoull(asked[1].substr(6));
        EXPECT_GT(held, 0u);
        EXPECT_LE(held, cut);
        EXPECT_EQ(server.BodyBytesSent(kTarget), cut + (changes ? body.size() : body.size() - held));
        EXPECT_FALSE(probe::FileExists(client / L".vorn-kept"));
    }
}

TEST(KeptDownload, StaleOrOverTheCapIsDroppedOldestFirst)
{
    constexpr std::uint64_t kHour = 36000000000ull;
    const std::uint64_t now = 1000000 * kHour;
    const std::uint64_t age = static_cast<std::uint64_t>(kKeptMaxAge.count()) * kHour;
    const std::vector<KeptFile> files = {{L"fresh", 3ull << 30, now - kHour},
                                         {L"stale", 1, now - age - kHour},
                                         {L"older", 4ull << 30, now - 3 * kHour},
                                         {L"oldest", 2ull << 30, now - 4 * kHour},
                                         {L"from a clock set ahead", 1, now + kHour}};
    EXPECT_EQ(KeptToDrop(files, now), (std::vector<std::wstring>{L"oldest", L"stale"}));
    EXPECT_EQ(ParseHeldRecord(FormatHeldRecord(HeldRecord{5, L"\"e-1\""}))->validator, L"\"e-1\"");
    EXPECT_FALSE(ParseHeldRecord("5 \"a\r\nb\""));
    EXPECT_FALSE(ParseHeldRecord("x \"a\""));
}
